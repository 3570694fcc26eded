// InsereMovCaixa: the sale's one cash movement, under the receipt type of kind
// 9 that the station has configured.
#include "external/utility/utility.h"
#include "platform/error.h"
#include "service/module.h"

namespace zel {

// The receipt types that pay a sale charged to the consumer.
extern const char* const kReceiptTypeFilter;
const char* const kReceiptTypeFilter =
    "(IDMOSTRARECE = 'S' OR IDMOSTRARECE IS NULL) AND CDFPIMPFIS IS NOT NULL AND IDTIPORECE = '9'";

void TrdmGeraCupomVenda::InsereMovCaixa(bool gravar) {
    ds::Table& mov = cdsMovCaixa;
    ds::Table& tipo = cdsConfTipoRece;
    try {
        mov.close();
        mov.create();
        mov.insert();
        if (gravar) {
            if (!tipo.isOpen()) throw Error("cdsConfTipoRece: the receipt-type table was not loaded");
            tipo.setFiltered(false);
            tipo.setFilter(kReceiptTypeFilter);
            tipo.setFiltered(true);
            tipo.first();
            bool hasType = !tipo.eof();
            auto fromType = [&](const char* field) { return hasType ? tipo.field(field).asString() : std::string(); };
            auto text = [&mov](const char* field, const std::string& v) { mov.field(field).setAsString(v); };

            text("CDFILIAL", cdFilial);
            text("IDTIPOMOVIVE", "E");
            mov.field("DTHRINCMOV").setAsDateTime(clock().now());
            text("CDTIPORECE", fromType("CDTIPORECE"));
            text("NMTIPORECE", fromType("NMTIPORECE"));
            text("IDTIPORECE", fromType("IDTIPORECE"));
            mov.field("VRMOVIVEND").setAsFloat(vrMoviVend);
            text("CDTIPOTROCO", fromType("CDTIPOTROCO"));
            text("NRORDTROCO", fromType("NRORDTROCO"));
            text("CDCLIENTE", cdCliente);
            text("CDCONSUMIDOR", cdConsumidor);
            text("CDCCUSCLIE", cdCCusClie);
            mov.field("DTMOVIMCAIXA")
                .setAsDateTime(ext::iif(dtMoviFiscal == DateTime(0), clock().today(), dtMoviFiscal).toDateTime(fs()));
            text("DSIMPFISCAL", fromType("DSIMPFISCAL"));
            text("CDBANCARTCR", fromType("CDBANCARTCR"));
            text("CDFPIMPFIS", fromType("CDFPIMPFIS"));
            mov.post();
        }
        tipo.setFilter("");
        tipo.setFiltered(false);
    } catch (const std::exception& e) {
        mensagem(e.what());
    }
}

}  // namespace zel
