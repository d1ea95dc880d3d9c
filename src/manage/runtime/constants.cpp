#include "runtime/constants.hpp"

namespace rt {

Constant* Constant::first_ = nullptr;

bool Constant::create_all() noexcept {
    for (Constant* c = first_; c != nullptr; c = c->next_) {
        if (c->object_ != nullptr) {
            continue;
        }
        c->object_ = c->text_ != nullptr ? PyUnicode_InternFromString(c->text_) : c->make_();
        if (c->object_ == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace rt
