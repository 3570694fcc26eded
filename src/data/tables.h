// The working tables of the service module, in the order of the module's
// stored description, with their declared fields and index orders.
#pragma once

#include <filesystem>
#include <map>

#include <string_view>
#include <vector>

#include "platform/dataset/table.h"
#include "platform/locale.h"

namespace zel {

// Every table starts closed; those with declared fields are made empty and
// open by create(). The others take their structure from a file or a packet.
struct ModuleTables {
    ds::Table cdsEmiteCupom;
    ds::Table cdsProdServtCon;
    ds::Table cdsProdServ;
    ds::Table cdsProdutos;
    ds::Table cdsParametrosZel;
    ds::Table cdsRetornaPreco;
    ds::Table cdsIdentPaf;
    ds::Table cdsControleAcess;
    ds::Table cdsTipoRece;
    ds::Table cdsConsultaSaldo;
    ds::Table cdsFamSaldo;
    ds::Table cdsAliqSistema;
    ds::Table cdsConfTipoRece;
    ds::Table cdsMovCaixa;
    ds::Table cdsVenda;
    ds::Table cdsItems;
    ds::Table cdsCliente;
    ds::Table cdsErro;
    ds::Table cdsAliqImpFis;
    ds::Table cdsProdutoGeral;
    ds::Table cdsFamiliaSaldo;
    ds::Table cdsVazio;
    ds::Table cdsVrSaldConsumi;
    ds::Table cdsDataMovimento;

    // What a cached table was last read from: the file's identity (device and
    // inode), size and modification time. A table whose file still shows the
    // same, and whose rows nobody changed since, is not read again.
    struct FileStamp {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t modifiedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    struct LoadedFile {
        std::filesystem::path path;
        FileStamp stamp;
    };
    std::map<const ds::Table*, LoadedFile> loadedFiles;
    // How many times each cached table file was read from disk, by file name
    // (a file reused unchanged is not counted).
    std::map<std::string, uint64_t> fileReads;

    explicit ModuleTables(const FormatSettings& fs = FormatSettings{});
    ModuleTables(const ModuleTables&) = delete;
    ModuleTables& operator=(const ModuleTables&) = delete;

    // The 24 tables in declaration order.
    std::vector<ds::Table*> all();
    // A table by name, ignoring letter case; nullptr when there is none.
    ds::Table* find(std::string_view name);
    // Hands new format settings to every table.
    void setFormatSettings(const FormatSettings& fs);
};

}  // namespace zel
