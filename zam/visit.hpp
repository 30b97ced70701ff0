// Exhaustive visits of the record variants: one function per kind, a missing one fails to compile.
#pragma once

#include <utility>
#include <variant>

namespace zam {

/// The call operators of every function object given, as one overload set.
template <class... Functions>
struct Overloaded : Functions... {
    using Functions::operator()...;
};

/// visit(v, f0, f1, ...): calls the overload that takes v's alternative. Each alternative needs
/// its own (write each for `const Kind&`, never `auto`), so a new kind added to a variant is a
/// compile error at every visit that does not handle it.
template <class Variant, class... Functions>
decltype(auto) visit(Variant&& variant, Functions&&... functions) {
    return std::visit(Overloaded<std::decay_t<Functions>...>{std::forward<Functions>(functions)...},
                      std::forward<Variant>(variant));
}

}  // namespace zam
