// A station database of either backend with the schema, the service package's
// stand-in on it, and builders of the tables and value lists the service sends.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "data/tables.h"
#include "support/db_fixture.h"
#include "external/service_db/service_package_db.h"
#include "external/service_db/service_sql.h"
#include "external/utility/utility.h"
#include "platform/dataset/packet.h"

namespace zel::testing {

inline DateTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return DateTime::fromFields({y, mo, d, h, mi, s, 0});
}

class ServicePackageTest : public BackendTest {
  protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        pkg_ = std::make_unique<ext::DatabaseServicePackage>(connectionString_, FormatSettings{}, clock_);
    }

    // One value of a query run on the administrative connection, as text.
    std::string scalar(const std::string& sql) {
        auto rows = ext::svc::select(*admin_, "check", sql, {}, {{"V", db::ColumnType::Text}});
        return rows.empty() ? "<no row>" : ext::svc::cellText(rows[0][0]);
    }
    double number(const std::string& sql) {
        auto rows = ext::svc::select(*admin_, "check", sql, {}, {{"V", db::ColumnType::Float}});
        return rows.empty() ? -999999 : ext::svc::cellNumber(rows[0][0]);
    }
    int count(const std::string& table) { return static_cast<int>(number("SELECT COUNT(*) FROM " + table)); }

    FixedClock clock_{at(2026, 3, 15, 12, 30)};
    std::unique_ptr<ext::DatabaseServicePackage> pkg_;
    ModuleTables tables_;
};

// One line of a sale as the service's sale table carries it.
struct SaleLine {
    std::string product;
    std::string family;
    double price = 0;
    double discount = 0;
    double surcharge = 0;
    double clientPrice = 0;
    double quantity = 1;
};

inline Variant saleTable(ModuleTables& t, const std::vector<SaleLine>& lines, const std::string& coupon,
                         const std::string& branch = "0001", const std::string& client = "CLI1",
                         const std::string& consumer = "CON1") {
    ds::Table& v = t.cdsVenda;
    v.create();
    for (const SaleLine& l : lines) {
        v.append();
        v.field("CDFILIAL").setAsString(branch);
        v.field("CDPRODUTO").setAsString(l.product);
        v.field("NMPRODUTO").setAsString("Produto " + l.product);
        v.field("QTPRODCOMVEN").setAsFloat(l.quantity);
        v.field("VRPRECCOMVEN").setAsFloat(l.price);
        v.field("VRDESCCOMVEN").setAsFloat(l.discount);
        v.field("VRACRCOMVEN").setAsFloat(l.surcharge);
        v.field("VRUNITVENDCL").setAsFloat(l.clientPrice);
        v.field("CDFAMILISALD").setAsString(l.family);
        v.field("NRCUPOMFIS").setAsString(coupon);
        v.field("NRCONTCUPOMFISC").setAsString("000100");
        v.field("CDCLIENTE").setAsString(client);
        v.field("CDCONSUMIDOR").setAsString(consumer);
        v.field("CDOPERADOR").setAsString("OP1");
        v.post();
    }
    return v.dataVariant();
}

inline Variant cashTable(ModuleTables& t, double amount, DateTime moment) {
    ds::Table& m = t.cdsMovCaixa;
    m.create();
    m.append();
    m.field("CDFILIAL").setAsString("0001");
    m.field("IDTIPOMOVIVE").setAsString("E");
    m.field("DTHRINCMOV").setAsDateTime(moment);
    m.field("CDTIPORECE").setAsString("009");
    m.field("NMTIPORECE").setAsString("CONVENIO");
    m.field("IDTIPORECE").setAsString("9");
    m.field("VRMOVIVEND").setAsFloat(amount);
    m.field("CDCLIENTE").setAsString("CLI1");
    m.field("CDCONSUMIDOR").setAsString("CON1");
    m.field("DTMOVIMCAIXA").setAsDateTime(moment.dateOnly());
    m.field("CDFPIMPFIS").setAsString("05");
    m.post();
    return m.dataVariant();
}

inline Variant familyTable(ModuleTables& t, const std::vector<std::pair<std::string, double>>& families) {
    ds::Table& f = t.cdsFamiliaSaldo;
    f.create();
    for (const auto& [code, amount] : families) {
        f.append();
        f.field("CDFAMILISALD").setAsString(code);
        f.field("VRSALDCONFAM").setAsFloat(amount);
        f.post();
    }
    return f.dataVariant();
}

inline VariantArray conclusionTables(const Variant& venda, const Variant& cash, const Variant& families) {
    Variant empty = Variant::packet(ds::Packet{});
    return {venda, cash, empty, families, empty, empty, empty, empty, empty, empty};
}

// The 33 values of a conclusion, as the service sends them.
inline VariantArray conclusionValues(const std::string& coupon, DateTime passage,
                                     const std::string& serial = "SN-0001") {
    VariantArray v = valueList(33);
    v[0] = Variant("001");
    v[1] = Variant(DateTime(passage.dateOnly()));
    v[2] = Variant("01");
    v[3] = Variant(coupon);
    v[4] = Variant("000100");
    v[5] = Variant("0001");
    v[8] = Variant("LJ1");
    v[11] = Variant("POS");
    v[13] = Variant("1");
    v[14] = Variant("CUPOM " + coupon);
    v[15] = Variant(serial);
    v[16] = Variant(int32_t{1});
    v[17] = Variant("MODELO X");
    v[18] = Variant("MARCA Y");
    v[19] = Variant("1");
    v[20] = Variant(DateTime(passage.dateOnly()));
    v[29] = Variant(passage);
    v[32] = Variant("BAL_ZEL");
    return v;
}

// The 15 values of a cancelled sale.
inline VariantArray cancellationValues(const Variant& venda, const std::string& serial = "SN-0001") {
    VariantArray v = valueList(15);
    v[0] = venda;
    v[1] = Variant::null();
    v[2] = Variant("001");
    v[3] = Variant("01");
    v[5] = Variant(serial);
    v[6] = Variant("MODELO X");
    v[7] = Variant("MARCA Y");
    v[8] = Variant("1");
    v[13] = Variant(at(2026, 3, 15));
    return v;
}

// A cell of the first row of a packet answered by the module's statements.
inline ds::Cell packetCell(const Variant& packet, const std::string& field, size_t row = 0) {
    if (!packet.isPacket()) throw Error("expected a packet, got: " + packet.toText(FormatSettings{}));
    const ds::Packet& p = packet.asPacket();
    int i = p.fieldIndex(field);
    auto rows = p.liveRecords();
    if (i < 0 || row >= rows.size()) throw Error("no " + field + " in row " + std::to_string(row));
    return rows[row].cells[static_cast<size_t>(i)];
}

}  // namespace zel::testing
