// The max_depth limit of the walk: the depth so far, and a guard per level.
#ifndef TAVREL_DEPTH_LIMIT_H
#define TAVREL_DEPTH_LIMIT_H

#include <cstddef>

#include "errors.h"

namespace tavrel {

// Nothing at all is counted without a limit.
template <bool Limited>
struct DepthCounter {
    size_t depth = 0;
    size_t max_depth = 0;
};
template <>
struct DepthCounter<false> {};

// One level down for an element, or a key and its value, tested before
// anything is converted; the level is left when the guard goes.
template <bool Limited>
class DepthLevel {
public:
    explicit DepthLevel(DepthCounter<Limited> &counter) : counter_(counter) {
        if constexpr (Limited) {
            if (++counter_.depth > counter_.max_depth) throw_depth_error(counter_.max_depth);
        }
    }
    ~DepthLevel() {
        if constexpr (Limited) --counter_.depth;
    }
    DepthLevel(const DepthLevel &) = delete;
    DepthLevel &operator=(const DepthLevel &) = delete;

    // The value of a pair sits at its key's level and is tested again.
    void check() const {
        if constexpr (Limited) {
            if (counter_.depth > counter_.max_depth) throw_depth_error(counter_.max_depth);
        }
    }

private:
    DepthCounter<Limited> &counter_;
};

}  // namespace tavrel

#endif  // TAVREL_DEPTH_LIMIT_H
