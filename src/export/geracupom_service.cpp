// The shared library of the service: its whole content comes from the static
// service libraries; GeraCupomVenda is exported by its plain name and as
// Srv_Zel92000::GeraCupomVenda.
#include "service/module.h"

namespace {
// Keeps the entry referenced from this library's own object.
[[maybe_unused]] void (*const kEntry)(const zel::VariantArray&, zel::Variant&) noexcept = &GeraCupomVenda;
}  // namespace
