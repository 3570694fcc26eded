// The statements of the operator's commands: a consumer's balances,
// consumption and sales, and a day's sales of the station's register by
// service window, balance family, client part and cancellation.
#pragma once

#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/db/connection.h"

namespace zel::host {

class OperatorStore {
  public:
    OperatorStore(db::Connection& c, std::string branch, std::string register_)
        : c_(c), branch_(std::move(branch)), register_(std::move(register_)) {}

    struct ConsumerRow {
        std::string client, consumer, code, name, type;
        double debitLimit = 0, debitMax = 0;
    };
    // By CDCONSUMIDOR first, then by CDIDCONSUMID; several clients may share
    // a consumer code, so all matches are given.
    std::vector<ConsumerRow> consumers(const std::string& code);

    struct Balance {
        std::string family, name;
        double balance = 0;
    };
    std::vector<Balance> balances(const std::string& client, const std::string& consumer);
    // Standing sales of a consumer between two days, both included.
    double consumption(const std::string& client, const std::string& consumer, DateTime from, DateTime to);

    struct Sale {
        std::string number, day, coupon, passage, situation, serial;
        double total = 0, clientPart = 0;
        std::string client, consumer, cancelledAt;
    };
    std::vector<Sale> lastSales(const std::string& client, const std::string& consumer, int count);
    // Every sale of the station's register dated `day`, standing or cancelled.
    std::vector<Sale> salesOfDay(DateTime day);

    struct Group {
        std::string key;
        int sales = 0;
        double amount = 0;
    };
    // Standing sales' item amounts (the consumer's and the client's part) by
    // the service window of each item.
    std::vector<Group> byServiceWindow(DateTime day);
    // Standing sales' debits by balance family.
    std::vector<Group> byBalanceFamily(DateTime day);
    // Every standing coupon of a printer, all days: consumer and client parts.
    double standingTotalOfPrinter(const std::string& serial);

  private:
    db::Connection& c_;
    std::string branch_, register_;
};

}  // namespace zel::host
