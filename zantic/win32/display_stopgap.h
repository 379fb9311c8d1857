// Stand-in for the shared display rule until it is merged: the same interface, a plain rule.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zantic {

struct BoxEdit {
    std::size_t dropFront = 0;
    std::size_t takeBack = 0;
    std::u16string append;
};

inline BoxEdit planTick(std::u16string_view box, std::u16string_view received)
{
    BoxEdit e;
    if (box.size() > 16000)
        e.dropFront = 4096;
    size_t left = box.size() - e.dropFront;
    for (char16_t c : received) {
        if (c == 0)
            break;
        if (c == u'\n')
            continue;
        if (c == 8) {
            if (!e.append.empty())
                e.append.pop_back();
            else if (left > e.takeBack)
                ++e.takeBack;
            continue;
        }
        e.append += c;
        if (c == u'\r')
            e.append += u'\n';
    }
    return e;
}

} // namespace zantic
