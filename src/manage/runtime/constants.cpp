#include "runtime/constants.hpp"

#include "runtime/error.hpp"

namespace rt {

Constant* Constant::first_ = nullptr;

void Constant::create_all() {
    for (Constant* c = first_; c != nullptr; c = c->next_) {
        if (c->object_ != nullptr) {
            continue;
        }
        c->object_ = own(c->text_ != nullptr ? PyUnicode_InternFromString(c->text_) : c->make_())
                         .release();
    }
}

}  // namespace rt
