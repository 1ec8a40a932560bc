// The file operations that differ between operating systems, for writing
// the output: a private folder, the open that never follows a link, the
// exclusive create, hard links, the copy where links are refused, flushing
// and removal. posix.cpp and windows.cpp implement them (CMake compiles the
// one for the target); naming.cpp builds the naming of a finished file on
// them. Nothing here knows Python; python_paths.hpp is the bridge.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pdfm::platform {

#ifdef _WIN32
using Char = wchar_t;  // the system's own wide strings: they carry lone surrogates
#else
using Char = char;  // bytes in the file-system encoding
#endif
using Path = std::basic_string<Char>;

// errno on POSIX, GetLastError() on Windows; 0 means success.
using Error = unsigned long;

// An open file, closed when destroyed.
class File {
public:
    File() noexcept = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }
    bool is_open() const noexcept { return handle != -1; }
    void close() noexcept;

    std::intptr_t handle = -1;       // a descriptor or a HANDLE
    std::uint64_t identity[2] = {};  // device and inode, where the system needs them
};

// The file `name` in `folder` (`name` is plain ASCII).
Path path_in(const Path& folder, std::string_view name);
// Makes a new folder with a random name starting ".pdf_module-" beside the
// file `beside`, writable by nobody else where the system allows it.
Error make_private_folder(const Path& beside, Path& folder);
// Opens an existing file for reading; a link (a symbolic link, a junction
// or any other reparse point) is refused, never followed.
Error open_never_following(const Path& path, File& file);
// Creates `path` for writing only when no entry of any kind has that name.
Error create_new(const Path& path, File& file);
// Gives the file `existing` the second name `name` in one step.
Error hard_link(const Path& existing, const Path& name);
// Whether `error` says that the name exists (in any form).
bool is_taken(Error error);
// Whether `error` of hard_link() says that no hard link can be made there,
// as opposed to a problem with the name.
bool links_refused(Error error);
// Copies everything from `from` to `to`, each at its current offset.
Error copy(File& from, File& to);
// Makes sure what was written reached the file, then closes it.
Error flush_and_close(File& file);
// Removes `path` when it still is the file that create_new() made as `file`.
void remove_created(File& file, const Path& path) noexcept;
void remove_file(const Path& path) noexcept;
void remove_folder(const Path& path) noexcept;

// The path with Windows' "\\?\" prefix where it is longer than the plain
// form allows (248 characters for a folder); `full` is an absolute path.
std::wstring long_path(const std::wstring& full);

// A private folder for the one file `file()`; removed with it when destroyed.
class PrivateFolder {
public:
    PrivateFolder() = default;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder();
    Error make(const Path& beside);
    const Path& file() const noexcept { return file_; }

private:
    Path path_;
    Path file_;
};

// Gives the complete file `saved` the name candidate(0) or, when that is
// taken by an entry of any kind (a link too, dangling or not), the first free
// one of candidate(1), candidate(2), ...: with a hard link or, where links
// are refused, by creating the name exclusively and copying the bytes in. An
// existing entry is never opened, followed or replaced, and a name created
// here whose copy failed is removed again. `index` is the number of the name
// given, or of the one that failed with `error`.
struct Naming {
    long long index;
    Error error;
};
Naming give_name(const Path& saved, const std::function<Path(long long)>& candidate);

namespace testing {
// Makes hard_link() fail as a file system without hard links does.
inline bool refuse_links = false;
}  // namespace testing

}  // namespace pdfm::platform
