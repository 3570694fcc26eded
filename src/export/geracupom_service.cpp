// The shared library of the service as the installation loads it: the entry
// under its plain name, and through it everything of the static service
// libraries; Srv_Zel92000::GeraCupomVenda is exported as well.
#include "service/module.h"

extern "C" __attribute__((visibility("default"))) void GeraCupomVenda(const zel::VariantArray& Params,
                                                                      zel::Variant& Result) noexcept {
    Srv_Zel92000::GeraCupomVenda(Params, Result);
}
