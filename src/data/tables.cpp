// The declared fields and index orders of the module's working tables.
#include "data/tables.h"
#include "platform/text.h"

namespace zel {

using ds::FieldDef;

namespace {

std::vector<FieldDef> fieldsRetornaPreco() {
    return {
        FieldDef::floatField("VRPRECO"),     FieldDef::floatField("VRDESCONTO"), FieldDef::floatField("VRACRESCIMO"),
        FieldDef::floatField("VRPRECOCLIE"), FieldDef::string("IDPRECVARIA", 1), FieldDef::string("IDPERCVALOR", 1),
        FieldDef::string("IDACREDESC", 1),   FieldDef::floatField("VRPRECODIA"),
    };
}

std::vector<FieldDef> fieldsFamSaldo() {
    return {
        FieldDef::string("CDFILIAL", 4),     FieldDef::string("CDFAMILISALD", 3),
        FieldDef::string("NRORDAPRSALD", 3), FieldDef::string("NMFAMILISALD", 30),
        FieldDef::dateTime("DTULTATUFAMS"),  FieldDef::string("IDPERMCARGACRED", 1),
    };
}

std::vector<FieldDef> fieldsConfTipoRece() {
    return {
        FieldDef::string("CDFILIAL", 4),       FieldDef::string("CDTIPORECE", 3),
        FieldDef::string("NMTIPORECE", 40),    FieldDef::floatField("VRTAXAADMI"),
        FieldDef::floatField("VRMINCARTAO"),   FieldDef::string("CDTIPOTROCO", 3),
        FieldDef::string("NRORDTROCO", 3),     FieldDef::string("IDEMIVALE", 1),
        FieldDef::string("IDVALE", 1),         FieldDef::string("IDDEBCLIE", 1),
        FieldDef::string("CDFPIMPFIS", 10),    FieldDef::string("IDTIPORECE", 1),
        FieldDef::string("CDTPINDICE", 1),     FieldDef::string("IDPERVALOR", 1),
        FieldDef::string("CDINDICE", 4),       FieldDef::string("NRCONFTELA", 5),
        FieldDef::string("IDTPBUTTON", 1),     FieldDef::string("NRBUTTON", 5),
        FieldDef::string("NRPGCONFTELA", 2),   FieldDef::string("NRPGCONFTAUX", 2),
        FieldDef::string("IDTPBUTONAUX", 1),   FieldDef::string("NRBUTTONAUX", 5),
        FieldDef::string("CDIDENTBUTON", 10),  FieldDef::string("DSBUTTON", 40),
        FieldDef::floatField("NRCOLORTEXT"),   FieldDef::floatField("NRCOLORBACK"),
        FieldDef::string("DSMESSAGEBUT", 300), FieldDef::string("DSIMAGEMBUT", 200),
        FieldDef::string("DSIMPFISCAL", 50),   FieldDef::string("CDADMINCART", 20),
        FieldDef::string("CDBANCARTCR", 10),   FieldDef::string("IDMOSTRARECE", 1),
        FieldDef::string("IDDESABTEF", 1),     FieldDef::floatField("NRFONTETEXT"),
        FieldDef::string("IDSANGRIAAUTO", 1),  FieldDef::string("IDUTCONTRREPIQ", 1),
    };
}

std::vector<FieldDef> fieldsMovCaixa() {
    return {
        FieldDef::string("CDFILIAL", 4),       FieldDef::string("NRSEQUMOVI", 10),
        FieldDef::string("IDTIPOMOVIVE", 1),   FieldDef::string("DSMOVIVEND", 250),
        FieldDef::string("NRSEQVENDA", 10),    FieldDef::string("CDTIPORECE", 3),
        FieldDef::dateTime("DTHRINCMOV"),      FieldDef::dateTime("DTDEPCHEQUE"),
        FieldDef::string("NRCONTRAVALE", 10),  FieldDef::string("CDTIPOTROCO", 3),
        FieldDef::floatField("VRMOVIVEND"),    FieldDef::string("NMTIPORECE", 40),
        FieldDef::string("NRORDTROCO", 3),     FieldDef::string("CDCLIENTE", 21),
        FieldDef::string("CDCONSUMIDOR", 21),  FieldDef::date("DTMOVIMCAIXA"),
        FieldDef::floatField("VRMOVIVEOUT"),   FieldDef::floatField("VRCOTINDOUT"),
        FieldDef::string("CDAGECHEQVEN", 5),   FieldDef::string("CDBANCHEQVEN", 3),
        FieldDef::string("CDCNTCHEQVEN", 16),  FieldDef::dateTime("DTDEPCHEQVEN"),
        FieldDef::string("NRCHEQUEVEND", 6),   FieldDef::string("DSIMPFISCAL", 50),
        FieldDef::string("IDTIPORECE", 1),     FieldDef::string("CDFPIMPFIS", 10),
        FieldDef::string("NRCARTBANCO", 10),   FieldDef::string("CDBANCARTCR", 10),
        FieldDef::string("CDTIPORECEORIG", 3), FieldDef::string("CDCCUSCLIE", 10),
        FieldDef::string("CDNSUHOSTTEF", 50),  FieldDef::string("NMTIPORECEORIG", 40),
        FieldDef::floatField("QTPARCRECEB"),
    };
}

std::vector<FieldDef> fieldsVenda() {
    return {
        FieldDef::string("CDFILIAL", 4),
        FieldDef::string("NRVENDAREST", 10),
        FieldDef::string("NRCOMANDA", 10),
        FieldDef::string("CDPRODUTO", 10),
        FieldDef::string("IDPRODIMPFIS", 1),
        FieldDef::string("NRPRODCOMVEN", 6),
        FieldDef::floatField("QTPRODCOMVEN"),
        FieldDef::floatField("VRPRECCOMVEN"),
        FieldDef::string("IDSTPRCOMVEN", 1),
        FieldDef::floatField("VRDESCCOMVEN"),
        FieldDef::string("NRLUGARMESA", 3),
        FieldDef::string("CDGRPOCOR", 2),
        FieldDef::string("CDOCORR", 2),
        FieldDef::string("NRMESAORIG", 4),
        FieldDef::string("CDLOJAORIG", 10),
        FieldDef::string("CDARVPROD", 20),
        FieldDef::string("NMPRODUTO", 50),
        FieldDef::string("CDVENDEDOR", 4),
        FieldDef::dateTime("DTHRABERMESA"),
        FieldDef::dateTime("DTHRFECHMESA"),
        FieldDef::floatField("VRDESCOMANDA"),
        FieldDef::string("NRCUPOMFIS", 10, true),
        FieldDef::string("CDOPERADOR", 12),
        FieldDef::string("CDLOJA", 10),
        FieldDef::string("IDTPIMPOSFIS", 1),
        FieldDef::string("CDIMPOSTO", 2),
        FieldDef::string("IDTPFORPGVEN", 1, true),
        FieldDef::string("CDEMPRESA", 2),
        FieldDef::floatField("VRTXSERVICO"),
        FieldDef::floatField("VRCONSUMAMIN"),
        FieldDef::string("VRPEALIMPFIS", 100),
        FieldDef::string("CDLOJAIT", 10),
        FieldDef::string("IDCONFIGPROD", 10),
        FieldDef::string("NMOPERADOR", 50),
        FieldDef::string("NMLOJA", 50),
        FieldDef::date("DTABERCAIX"),
        FieldDef::floatField("VRACRCOMANDA"),
        FieldDef::string("CDFAMILISALD", 3),
        FieldDef::string("CDSERVFILI", 5),
        FieldDef::string("NMCONSVEND", 50),
        FieldDef::string("NRINSCRCONS", 20),
        FieldDef::string("SGUNIDADE", 10),
        FieldDef::string("NRSEQ", 3),
        FieldDef::floatField("VRUNITVENDCL"),
        FieldDef::floatField("ACRESITEM"),
        FieldDef::string("CDPRODPROMOCAO", 20),
        FieldDef::string("NRCONTCUPOMFISC", 10),
        FieldDef::string("CDORDALIQIMPR", 5),
        FieldDef::floatField("VRALIQIMPR"),
        FieldDef::string("DSENDEVENDA", 60),
        FieldDef::string("NRSUBSERIEVND", 50),
        FieldDef::string("NRORDEMVND", 50),
        FieldDef::string("NRSERIEVND", 50),
        FieldDef::string("CDVENDEDORITEM", 4),
        FieldDef::floatField("VRREPIQUEVENDA"),
        FieldDef::floatField("VRACRCOMVEN"),
        FieldDef::string("NRMESA", 4),
        FieldDef::string("CDCLIENTE", 21),
        FieldDef::string("CDCONSUMIDOR", 21),
        FieldDef::string("CDPRODIMPFIS", 20),
    };
}

std::vector<FieldDef> fieldsItems() {
    return {
        FieldDef::string("CDPRODUTO", 20),      FieldDef::string("NMPRODUTO", 50),
        FieldDef::floatField("VRPRECCOMVEN"),   FieldDef::string("QTPRODCOMVEN", 20),
        FieldDef::string("STPEDESC", 20),       FieldDef::floatField("VRDESCCOMVEN"),
        FieldDef::string("NRLUGARMESA", 2),     FieldDef::dateTime("DTINCLUSAO"),
        FieldDef::string("STOBSPEDIDO", 2000),  FieldDef::string("stCdAliq", 100),
        FieldDef::string("NRSEQ", 3),           FieldDef::string("CDARVPROD", 20),
        FieldDef::string("CDLOJA", 10),         FieldDef::string("NRMESA", 20),
        FieldDef::string("CDFILIAL", 4),        FieldDef::string("CDVENDEDOR", 4),
        FieldDef::string("CDOPERADOR", 12),     FieldDef::string("CDLOJAIT", 10),
        FieldDef::string("IDPRODIMPFIS", 1),    FieldDef::string("NRCUPOMFIS", 10),
        FieldDef::dateTime("DTABERCAIX"),       FieldDef::string("NRVENDAREST", 10),
        FieldDef::string("NRCOMANDA", 10),      FieldDef::floatField("VRDESCOMANDA"),
        FieldDef::floatField("VRTXSERVICO"),    FieldDef::string("CDAGRUPPROD", 2),
        FieldDef::string("NRSEQPRODCOM", 3),    FieldDef::floatField("VRACRCOMVEN"),
        FieldDef::string("CDFAMILISALD", 3),    FieldDef::string("CDSERVFILI", 5),
        FieldDef::floatField("ACRESITEM"),      FieldDef::floatField("SOMA"),
        FieldDef::string("NRINSCRCONS", 20),    FieldDef::string("NMCONSVEND", 50),
        FieldDef::string("SGUNIDADE", 10),      FieldDef::string("IDIMPCANITEM", 1),
        FieldDef::string("CDPORIMPPROD", 5),    FieldDef::floatField("VRUNITVENDCL"),
        FieldDef::string("CDPRODPROMOCAO", 10), FieldDef::string("NRCONTCUPOMFISC", 10),
        FieldDef::string("CDORDALIQIMPR", 5),   FieldDef::floatField("VRALIQIMPR"),
        FieldDef::string("DSENDEVENDA", 60),    FieldDef::string("NRSUBSERIEVND", 50),
        FieldDef::string("NRORDEMVND", 50),     FieldDef::string("NRSERIEVND", 50),
        FieldDef::string("IDPROMOCAO", 1),      FieldDef::string("NRITEMCUPOM", 5),
        FieldDef::string("CDPRODIMPFIS", 20),
    };
}

std::vector<FieldDef> fieldsCliente() {
    return {
        FieldDef::string("CDCLIENTE", 21),    FieldDef::string("IDTPIJURCLIE", 1), FieldDef::string("NRINSJURCLIE", 20),
        FieldDef::string("NMRAZSOCCLIE", 50), FieldDef::string("NMFANTCLIE", 50),  FieldDef::string("CDEXCLIENTE", 30),
        FieldDef::string("CDFILTABPREC", 4),  FieldDef::string("CDTABEPREC", 3),
    };
}

std::vector<FieldDef> fieldsAliqImpFis() {
    return {
        FieldDef::string("CDALIQIMPFIS", 10),
        FieldDef::floatField("VRALIQIMPFIS"),
        FieldDef::string("IDALIQIMPFIS", 1),
    };
}

std::vector<FieldDef> fieldsProdutoGeral() {
    return {
        FieldDef::string("CDFILIAL", 4),      FieldDef::string("CDCAIXA", 3),
        FieldDef::string("CDSERVFILI", 5),    FieldDef::floatField("VRLIMCONSERV"),
        FieldDef::string("HRINISERTUR", 4),   FieldDef::string("HRFINSERTUR", 4),
        FieldDef::string("CDTIPOCONS", 2),    FieldDef::string("CDPRODUTO", 10),
        FieldDef::floatField("QTLIMCONPRSE"), FieldDef::string("IDCARGAUTOPS", 1),
        FieldDef::string("IDIMPCUPOMAUT", 1), FieldDef::floatField("QTLIMCONPROD"),
        FieldDef::string("IDCARGAUTOPR", 1),
    };
}

std::vector<FieldDef> fieldsFamiliaSaldo() {
    return {
        FieldDef::string("CDFAMILISALD", 3),
        FieldDef::floatField("VRSALDCONFAM"),
    };
}

}  // namespace

ModuleTables::ModuleTables(const FormatSettings& fs)
    : cdsEmiteCupom("cdsEmiteCupom", {}, {}, {}, fs),
      cdsProdServtCon("cdsProdServtCon", {}, {}, {}, fs),
      cdsProdServ("cdsProdServ", {}, {}, {}, fs),
      cdsProdutos("cdsProdutos", {}, {}, {}, fs),
      cdsParametrosZel("cdsParametrosZel", {}, {}, {}, fs),
      cdsRetornaPreco("cdsRetornaPreco", fieldsRetornaPreco(), {}, {}, fs),
      cdsIdentPaf("cdsIdentPaf", {}, {}, {}, fs),
      cdsControleAcess("cdsControleAcess", {}, {}, {}, fs),
      cdsTipoRece("cdsTipoRece", {}, {}, {}, fs),
      cdsConsultaSaldo("cdsConsultaSaldo", {}, {}, {}, fs),
      cdsFamSaldo("cdsFamSaldo", fieldsFamSaldo(), {}, {}, fs),
      cdsAliqSistema("cdsAliqSistema", {}, {}, {}, fs),
      cdsConfTipoRece("cdsConfTipoRece", fieldsConfTipoRece(), {}, {}, fs),
      cdsMovCaixa("cdsMovCaixa", fieldsMovCaixa(), {}, {}, fs),
      cdsVenda("cdsVenda", fieldsVenda(), {}, {}, fs),
      cdsItems("cdsItems", fieldsItems(), {{"DTINCLUSAO", "DTINCLUSAO"}}, "DTINCLUSAO", fs),
      cdsCliente("cdsCliente", fieldsCliente(), {}, {}, fs),
      cdsErro("cdsErro", {}, {}, {}, fs),
      cdsAliqImpFis("cdsAliqImpFis", fieldsAliqImpFis(), {{"idxIdAliqVrAliq", "IDALIQIMPFIS;VRALIQIMPFIS"}},
                    "idxIdAliqVrAliq", fs),
      cdsProdutoGeral("cdsProdutoGeral", fieldsProdutoGeral(), {}, {}, fs),
      cdsFamiliaSaldo("cdsFamiliaSaldo", fieldsFamiliaSaldo(), {}, {}, fs),
      cdsVazio("cdsVazio", {}, {}, {}, fs),
      cdsVrSaldConsumi("cdsVrSaldConsumi", {}, {}, {}, fs),
      cdsDataMovimento("cdsDataMovimento", {}, {}, {}, fs) {}

std::vector<ds::Table*> ModuleTables::all() {
    return {&cdsEmiteCupom,   &cdsProdServtCon, &cdsProdServ,      &cdsProdutos,     &cdsParametrosZel,
            &cdsRetornaPreco, &cdsIdentPaf,     &cdsControleAcess, &cdsTipoRece,     &cdsConsultaSaldo,
            &cdsFamSaldo,     &cdsAliqSistema,  &cdsConfTipoRece,  &cdsMovCaixa,     &cdsVenda,
            &cdsItems,        &cdsCliente,      &cdsErro,          &cdsAliqImpFis,   &cdsProdutoGeral,
            &cdsFamiliaSaldo, &cdsVazio,        &cdsVrSaldConsumi, &cdsDataMovimento};
}

ds::Table* ModuleTables::find(std::string_view name) {
    for (ds::Table* t : all())
        if (equalsIgnoringCase(t->name(), name)) return t;
    return nullptr;
}

void ModuleTables::setFormatSettings(const FormatSettings& fs) {
    for (ds::Table* t : all()) t->setFormatSettings(fs);
}

}  // namespace zel
