#include "common/french_number.h"

#include <array>
#include <charconv>
#include <cmath>

namespace orlex::common {

std::string frenchOneDecimal(double value) {
    if (!std::isfinite(value))
        return std::isnan(value) ? "NaN" : (value > 0 ? "Infini" : "-Infini");
    std::array<char, 512> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
    std::string text(buffer.data(), result.ptr);

    const bool negative = text.starts_with('-');
    if (negative)
        text.erase(0, 1);
    const std::size_t point = text.find('.');
    std::string whole = point == std::string::npos ? text : text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    int tenth = fraction.empty() ? 0 : fraction[0] - '0';
    const bool roundUp = fraction.size() > 1 && fraction[1] >= '5';

    if (roundUp && ++tenth == 10) {
        tenth = 0;
        int i = static_cast<int>(whole.size()) - 1;
        for (; i >= 0 && whole[i] == '9'; --i)
            whole[i] = '0';
        if (i < 0) {
            whole.insert(whole.begin(), '1');
        } else {
            ++whole[i];
        }
    }
    const bool zero = tenth == 0 && whole.find_first_not_of('0') == std::string::npos;
    return (negative && !zero ? "-" : "") + whole + "," + static_cast<char>('0' + tenth);
}

}  // namespace orlex::common
