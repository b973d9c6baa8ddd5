// Owners for the objects of C libraries (OpenSSL, libcurl): a unique_ptr that frees its
// object with the library's own function, so each kind needs one alias, not a deleter.
#pragma once

#include <memory>

namespace klv {

template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <typename T, auto Free>
using CHandle = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace klv
