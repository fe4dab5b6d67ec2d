// What every implementation of the platform layer shares.
#include "Platform.h"

std::string TrimErrorText(std::string text)
{
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last == ' ' || last < 32 || last == '.') {
            text.pop_back();
        } else {
            break;
        }
    }
    return text;
}
