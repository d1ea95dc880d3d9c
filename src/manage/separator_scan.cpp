// The default separator set of Output's cutting (separator_scan.hpp).
#include "separator_scan.hpp"

#include <iterator>

namespace manage {

// The default set "，。,.!?": U+FF0C FULLWIDTH COMMA, U+3002 IDEOGRAPHIC FULL
// STOP, then ",.!?".
constexpr Py_UCS2 kDefaultSeparators[] = {0xFF0C, 0x3002, ',', '.', '!', '?'};

// Built once: every call of _add_stream cuts with it. Plain memory, never freed.
const Separators& default_separators() {
    static const Separators* table = [] {
        auto* t = new Separators();
        // Six characters take no memory of their own, so this cannot fail.
        (void)t->assign(PyUnicode_2BYTE_KIND, kDefaultSeparators, std::size(kDefaultSeparators));
        return t;
    }();
    return *table;
}

bool is_default_separators(PyObject* sep) {
    return PyUnicode_GET_LENGTH(sep) == std::size(kDefaultSeparators) &&
           PyUnicode_KIND(sep) == PyUnicode_2BYTE_KIND &&
           std::memcmp(PyUnicode_DATA(sep), kDefaultSeparators, sizeof(kDefaultSeparators)) == 0;
}

}  // namespace manage
