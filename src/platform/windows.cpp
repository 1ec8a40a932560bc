// The file operations on Windows. Every path goes to the system in its full
// form, with the "\\?\" prefix where it is long.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "files.hpp"

#include <random>
#include <utility>

namespace pdfm::platform {

namespace {

HANDLE handle_of(const File& file) { return reinterpret_cast<HANDLE>(file.handle); }

// The absolute form of `path` as the system would resolve it.
Path full_path(const Path& path) {
    Path full(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                     nullptr);
        if (n == 0) return path;  // left to the call that uses it to report
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n);
    }
}

Path system_path(const Path& path) { return long_path(full_path(path)); }

// The folder part of an absolute path, with its separator where it is a root.
Path parent_of(const Path& full) {
    std::size_t slash = full.find_last_of(L"\\/");
    if (slash == Path::npos) return full;
    bool root = slash == 0 || full[slash - 1] == L':' || full.find_first_not_of(L"\\/") > slash;
    return full.substr(0, root ? slash + 1 : slash);
}

Error last_error() { return ::GetLastError(); }

}  // namespace

void File::close() noexcept {
    if (is_open()) ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle, -1)));
}

Path path_in(const Path& folder, std::string_view name) {
    Path path = folder;
    if (path.back() != L'\\') path += L'\\';
    path.append(name.begin(), name.end());
    return path;
}

// A random name, retried while it clashes. The folder takes the access
// rules of the folder it is made in, and so does the file saved in it: the
// output then has the rules of any file made in its folder.
Error make_private_folder(const Path& beside, Path& folder) {
    static constexpr wchar_t letters[] =
        L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    Path stem = path_in(parent_of(full_path(beside)), ".pdf_module-");
    for (int attempt = 0; attempt < 10000; ++attempt) {
        Path path = stem;
        for (int i = 0; i < 6; ++i) path += letters[random() % (sizeof letters / sizeof *letters - 1)];
        if (::CreateDirectoryW(long_path(path).c_str(), nullptr)) {
            folder = std::move(path);
            return 0;
        }
        if (last_error() != ERROR_ALREADY_EXISTS) return last_error();
    }
    return ERROR_ALREADY_EXISTS;
}

Error open_never_following(const Path& path, File& file) {
    HANDLE h = ::CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    file.handle = reinterpret_cast<std::intptr_t>(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) {
        Error error = last_error();
        file.close();
        return error;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {  // opened the link itself
        file.close();
        return ERROR_CANT_RESOLVE_FILENAME;
    }
    return 0;
}

// CREATE_NEW fails on any existing entry; with FILE_FLAG_OPEN_REPARSE_POINT a
// link is looked at itself, never resolved.
Error create_new(const Path& path, File& file) {
    HANDLE h = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                             nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    file.handle = reinterpret_cast<std::intptr_t>(h);
    return 0;
}

Error hard_link(const Path& existing, const Path& name) {
    if (testing::refuse_links) return ERROR_ACCESS_DENIED;  // what Wine reports
    if (::CreateHardLinkW(system_path(name).c_str(), system_path(existing).c_str(), nullptr))
        return 0;
    return last_error();
}

// CREATE_NEW reports ERROR_FILE_EXISTS, CreateHardLinkW ERROR_ALREADY_EXISTS
// (and CREATE_NEW too under Wine).
bool is_taken(Error error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS; }

// FAT, exFAT and some shares refuse links with various errors (Wine with
// ERROR_ACCESS_DENIED): every other failure is tried again with a copy,
// which reports a real problem with the name itself.
bool links_refused(Error error) { return !is_taken(error); }

Error copy(File& from, File& to) {
    static thread_local char buffer[1 << 16];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle_of(from), buffer, sizeof buffer, &got, nullptr)) return last_error();
        if (got == 0) return 0;
        for (DWORD done = 0; done < got;) {
            DWORD put = 0;
            if (!::WriteFile(handle_of(to), buffer + done, got - done, &put, nullptr))
                return last_error();
            done += put;
        }
    }
}

// On failure the file stays open, for remove_created().
Error flush_and_close(File& file) {
    if (!::FlushFileBuffers(handle_of(file))) return last_error();
    if (!::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(file.handle, -1))))
        return last_error();
    return 0;
}

// Through the handle that created it: never another file that took the name.
void remove_created(File& file, const Path&) noexcept {
    if (!file.is_open()) return;
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(handle_of(file), FileDispositionInfo, &dispose, sizeof dispose);
    file.close();
}

void remove_file(const Path& path) noexcept { ::DeleteFileW(system_path(path).c_str()); }

void remove_folder(const Path& path) noexcept { ::RemoveDirectoryW(system_path(path).c_str()); }

}  // namespace pdfm::platform
