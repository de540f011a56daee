#include "module/gil.hpp"

namespace corvane::py {

int& attachment_count() {
    thread_local int count = 0;
    return count;
}

}  // namespace corvane::py
