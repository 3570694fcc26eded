// The operation slots of the device package (the fiscal printer driver): what
// the service calls, with the argument orders and answers it relies on. A real
// driver, the simulated printer or a recording test fake fills the slot.
#pragma once

#include <cstdint>
#include <string>

#include "platform/datetime.h"
#include "platform/variant.h"

namespace zel::ext {

// Builders turn the service's values into a parameter packet (param_packet.h);
// driver operations consume a packet or a value list and answer true or false.
// A value list or packet of the wrong shape is an ArgumentError (args.h) that
// names the operation and the position. A driver reports a printer that refuses
// with false; it raises only for bad input or a printer it cannot use at all.
class DevicePackage {
  public:
    virtual ~DevicePackage() = default;

    // The opening packet. The builder may fill dsEndeVenda (the station's sale
    // address) and the opening number; the other by-reference texts are handed
    // on as they are. The seven texts after them and the flag carry no value the
    // service uses.
    virtual Variant Params_AbreCupom_Kva00000(const std::string& idEsquema, int32_t& nrAbertura,
                                              std::string& nrCpfRespCon, std::string& nmConsumidor,
                                              std::string& dsEndeVenda, std::string& cupNr, std::string& contCupom,
                                              const std::string& text1, const std::string& text2,
                                              const std::string& text3, const std::string& text4,
                                              const std::string& text5, const std::string& text6,
                                              const std::string& text7, bool flag) = 0;

    // The item packet: idEsquema, an empty text, "D", the item code, the item
    // description, the printer's rate code and rate kind, the unit, an empty
    // text, the product's tax rate as text, an empty text, the opening number,
    // quantity, unit price, discount, surcharge, and a flag.
    virtual Variant Params_VendaItem_Kva00000(const std::string& idEsquema, const std::string& text2,
                                              const std::string& mode, const std::string& itemCode,
                                              const std::string& description, const std::string& rateCode,
                                              const std::string& rateKind, const std::string& unit,
                                              const std::string& text9, const std::string& productRate,
                                              const std::string& text11, int32_t nrAbertura, double quantity,
                                              double unitPrice, double discount, double surcharge, bool flag) = 0;

    // The grand-total packet: cdFilial, cdCaixa, nrSerieImp, idEsquema, "S" at
    // the printer check or "N" after a coupon, a flag, four texts, two amounts.
    virtual Variant Params_Atu_TotGeral_Kva00000(const std::string& cdFilial, const std::string& cdCaixa,
                                                 const std::string& nrSerieImp, const std::string& idEsquema,
                                                 const std::string& mode, bool flag, const std::string& text7,
                                                 const std::string& text8, const std::string& text9,
                                                 const std::string& text10, double amount1, double amount2) = 0;

    // The serial-check packet: utilizaImpFis, dsDirCad, idEsquema, nrSerieImp.
    virtual Variant Params_VerificaSerialImp_Kva00000(bool utilizaImpFis, const std::string& dsDirCad,
                                                      const std::string& idEsquema, const std::string& nrSerieImp) = 0;

    // True when a coupon was opened; the packet then holds "CUPNR" and
    // "CONTCUPOM" (read them with RecebeParams).
    virtual bool AbreCupom(Variant& packet) = 0;
    // True when the item was registered on the open coupon.
    virtual bool VendaItem(Variant& packet) = 0;
    // The closing list of 53 values; `unused` takes no value from the service;
    // `answer` is an array variant of ten elements, and element 2 receives a
    // text that identifies the coupon.
    virtual bool FechaCupom(const VariantArray& closing, const Variant& unused, Variant& answer) = 0;
    // True when the printer's grand total was read and stored with the station.
    virtual bool Atu_TotGeral(Variant& packet) = 0;
    // idEsquema; an output value (receives the printer's date-time); an integer;
    // dataImp; an integer. True when the printer's date is acceptable.
    virtual bool VerificaData(const std::string& idEsquema, Variant& printerDate, int32_t mode1,
                              const std::string& dataImp, int32_t mode2) = 0;
    // True when the printer is the one the packet names.
    virtual bool VerificaSerialImp(const Variant& packet) = 0;
    // The list of 7 values: idEsquema, false, false, false, CDFILIAL, CDCAIXA,
    // nrSerieImp; `answer` an array variant of ten elements. True when the open
    // coupon, or else the last closed one, was cancelled.
    virtual bool Cancela_Cupom_Imp(const VariantArray& values, Variant& answer) = 0;
    // The printer's fiscal movement date.
    virtual DateTime DataMoviFiscal(const std::string& idEsquema) = 0;
};

}  // namespace zel::ext
