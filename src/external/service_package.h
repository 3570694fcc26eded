// The operation slots of the service package: pricing, fiscal codes and taxes,
// storing concluded and cancelled sales, the access-control log and progress.
// The stand-in on the station's database fills them; a test fake may too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace zel::ds {
class Table;
}

namespace zel::ext {

class ServicePackage {
  public:
    virtual ~ServicePackage() = default;

    // Work on one consumer begins: (0, progress text, 0, 0).
    virtual void AtivaProcesso(int32_t kind, const std::string& text, int32_t position, int32_t total) = 0;
    // Work on that consumer has ended.
    virtual void DesativaProcesso() = 0;

    // The seven values: cdFilial; the client (empty when the standard table is
    // to be used); CDPRODUTO; cdLoja; cdConsumidor; the hour HHMM; an empty
    // text. Fills `cdsRetornaPreco` (its declared fields) with the price row and
    // returns a price result packet (utility.h: priceResultOk/priceResultFailure)
    // that CheckResultServ judges.
    virtual Variant ChamaFuncaoGetRetornaPreco(const VariantArray& values, ds::Table& cdsRetornaPreco) = 0;
    // A price the module is about to ask for, with the values it will ask
    // with: the package may start finding it. Answers nothing and fails
    // nothing; a package that cannot use the hint ignores it.
    virtual void expectPrice(const VariantArray& values) { (void)values; }

    // Fills element 0 with the product's NCM code and element 1 with its CEST
    // code (texts, either may be empty) of the two-element list.
    virtual void getProdCodCestNcm(const std::string& cdProduto, Variant& oleProdCestNcm) = 0;

    // From the sale table (a data packet of cdsVenda) fills the three-element
    // list: element 0 the approximate federal taxes, element 1 the state taxes,
    // both as texts in the station's number format, element 2 the source of the
    // rates. The numeric answer is not used by the service.
    virtual double CalculoIcmsDFederal(const Variant& cdsVenda, Variant& oleRetImposto, double amount) = 0;

    // Stores a concluded sale: `tables` holds ten data packets (cdsVenda,
    // cdsMovCaixa, cdsVazio, cdsFamiliaSaldo, then cdsVazio six times),
    // `values` the 33 values of the conclusion. Returns an answer that
    // MensagemMetodo checks; a failure is raised as an error and stores nothing.
    // A coupon already stored (same printer serial and coupon number) is not
    // stored again and answers success.
    virtual Variant SetConcluiFechamento(const VariantArray& tables, const VariantArray& values, Variant& answer) = 0;

    // Records a cancelled sale: the 15 values, index 0 the data packet of
    // cdsVenda. Returns its answer as text (empty or "OK" when recorded).
    virtual std::string IncluiVendaCan(const VariantArray& values, Variant& answer) = 0;

    // Writes one access-control log entry of fourteen texts.
    virtual void LogControleAcess(const std::vector<std::string>& texts) = 0;
};

}  // namespace zel::ext
