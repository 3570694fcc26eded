// A station on disk with the real stand-ins of the outside packages, and a
// service module serving it, for tests that go through the request.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "external/printer/fiscal_printer_sim.h"
#include "external/printer/printer_tape.h"
#include "external/service_db/service_package_db.h"
#include "external/service_db/service_sql.h"
#include "external/utility/utility.h"
#include "recording_packages.h"
#include "service/module.h"
#include "station/station.h"

namespace zel::testing {

class StationTest : public ::testing::Test {
  protected:
    static DateTime at(int h, int mi, int s = 0) { return DateTime::fromFields({2026, 3, 16, h, mi, s, 0}); }

    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("zel_station_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        data_ = station::sampleStation(day_);
        sink_.clear();
        progress_.clear();
        ended_ = 0;
        nextImport_ = 7;
        faults_ = ext::PrinterFaults();
        clock_.set(at(12, 5));
    }
    void TearDown() override {
        module_.reset();
        recorder_.reset();
        device_.reset();
        service_.reset();
        printer_.reset();
        std::filesystem::remove_all(dir_);
    }

    // Builds the station from data_ (tests change data_ first) and the module.
    void build() {
        station::createStation(dir_, data_);
        layout_ = station::Layout{dir_};
        connection_ = station::sqliteConnection(layout_);
        startModule();
    }

    void startModule() {
        module_.reset();
        recorder_.reset();
        device_.reset();
        service_.reset();
        printer_.reset();
        printer_ = std::make_unique<ext::SimulatedPrinter>(ext::SimulatedPrinterFiles::inStation(dir_), clock_,
                                                           FormatSettings{}, faults_);
        service_ = std::make_unique<ext::DatabaseServicePackage>(connection_, FormatSettings{}, clock_);
        service_->setProgress([this](const std::string& t) { progress_.push_back(t); }, [this] { ++ended_; });
        messenger_ = std::make_unique<ext::Messenger>(sink_, clock_);
        device_ = std::make_unique<RecordingDevice>(*printer_);
        recorder_ = std::make_unique<RecordingService>(*service_);
        ServiceHost host;
        host.baseDir = dir_;
        host.clock = &clock_;
        host.device = device_.get();
        host.service = recorder_.get();
        host.messenger = messenger_.get();
        module_ = std::make_unique<TrdmGeraCupomVenda>(host);
    }

    station::Passage passage(const std::string& seq, size_t consumer, const std::string& hora) {
        const station::Consumer& k = data_.consumers.at(consumer);
        return {seq, k.cdIdConsumid, k.cdConsumidor, k.cdCliente, k.cdTipoCons, k.nome, day_, hora, "7"};
    }

    // Imports the passages under a new import record and sends them as one request.
    // The first import is record 7, the next 8, and so on.
    Variant run(std::vector<station::Passage> passages, Variant result = Variant()) {
        std::string record = std::to_string(nextImport_++);
        for (station::Passage& p : passages) p.nrSeqArqImp = record;
        db::Connection c(connection_);
        station::insertPassages(c, data_, passages, record);
        return request(passages, result);
    }
    Variant request(const std::vector<station::Passage>& passages, Variant result = Variant()) {
        VariantArray params = {Variant::packet(station::requestPacket(data_, passages))};
        module_->request(params, result);
        return result;
    }

    std::vector<std::string> messages() const { return sink_.texts(); }
    bool said(const std::string& text) const {
        for (const std::string& m : sink_.texts())
            if (m == text) return true;
        return false;
    }

    std::string scalar(const std::string& sql) {
        db::Connection c(connection_);
        auto rows = ext::svc::select(c, "check", sql, {}, {{"V", db::ColumnType::Text}});
        return rows.empty() ? "<no row>" : ext::svc::cellText(rows[0][0]);
    }
    double number(const std::string& sql) {
        db::Connection c(connection_);
        auto rows = ext::svc::select(c, "check", sql, {}, {{"V", db::ColumnType::Float}});
        return rows.empty() ? -999999 : ext::svc::cellNumber(rows[0][0]);
    }
    std::vector<std::vector<std::string>> receipts() const {
        return ext::readTapeReceipts(ext::SimulatedPrinterFiles::inStation(dir_).tape);
    }

    std::filesystem::path dir_;
    DateTime day_ = DateTime::fromDate(2026, 3, 16);
    FixedClock clock_{at(12, 5)};
    station::StationData data_;
    station::Layout layout_;
    std::string connection_;
    ext::PrinterFaults faults_;
    std::unique_ptr<ext::SimulatedPrinter> printer_;
    std::unique_ptr<ext::DatabaseServicePackage> service_;
    ext::CollectingSink sink_;
    std::unique_ptr<ext::Messenger> messenger_;
    std::unique_ptr<RecordingDevice> device_;     // in the printer's slot, forwarding to printer_
    std::unique_ptr<RecordingService> recorder_;  // in the service package's slot, forwarding to service_
    std::unique_ptr<TrdmGeraCupomVenda> module_;
    std::vector<std::string> progress_;
    int ended_ = 0;
    int nextImport_ = 7;
};

}  // namespace zel::testing
