// Windows' long-path prefix: a pure function, so that it is tested on every
// system (Wine accepts long paths without it and cannot show its need).
#include "files.hpp"

namespace pdfm::platform {

std::wstring long_path(const std::wstring& full) {
    constexpr std::size_t plain_limit = 248;  // CreateDirectoryW's; files allow 260
    if (full.size() < plain_limit || full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\"))
        return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    return full;  // not absolute: the prefix would change its meaning
}

}  // namespace pdfm::platform
