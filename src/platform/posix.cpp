// The file operations on POSIX systems.
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace pdfm::platform {

namespace {

// The folder part of a path ("." for a bare name).
Path parent_of(const Path& path) {
    std::size_t slash = path.rfind('/');
    if (slash == Path::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int descriptor(const File& file) { return static_cast<int>(file.handle); }

// Copies with read() and write(): for the pairs the kernel cannot copy between.
Error copy_by_reading(int in, int out) {
    static thread_local char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += put;
        }
    }
}

}  // namespace

void File::close() noexcept {
    if (is_open()) ::close(static_cast<int>(std::exchange(handle, -1)));
}

Path path_in(const Path& folder, std::string_view name) {
    return folder + "/" + Path(name);
}

Error make_private_folder(const Path& beside, Path& folder) {
    Path path = parent_of(beside) + "/.pdf_module-XXXXXX";  // mode 0700
    if (::mkdtemp(path.data()) == nullptr) return errno;
    folder = std::move(path);
    return 0;
}

Error open_never_following(const Path& path, File& file) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    file.handle = fd;
    return 0;
}

Error create_new(const Path& path, File& file) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    file.handle = fd;
    struct stat created;
    if (::fstat(fd, &created) < 0) {
        Error error = errno;
        ::unlink(path.c_str());
        file.close();
        return error;
    }
    file.identity[0] = created.st_dev;
    file.identity[1] = created.st_ino;
    return 0;
}

Error hard_link(const Path& existing, const Path& name) {
    if (testing::refuse_links) return EPERM;
    return ::link(existing.c_str(), name.c_str()) == 0 ? 0 : errno;
}

bool is_taken(Error error) { return error == EEXIST; }

bool links_refused(Error error) {
    return error == EPERM || error == EXDEV || error == EMLINK || error == ENOSYS ||
           error == EOPNOTSUPP || error == ENOTSUP;
}

Error copy(File& from, File& to) {
    int in = descriptor(from), out = descriptor(to);
    for (;;) {  // within one file system the kernel copies, or shares the blocks
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, ssize_t{1} << 30, 0);
        if (n > 0) continue;
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return errno;
    }
    return copy_by_reading(in, out);
}

// close() reports a write that failed late (a full disk on a network file
// system); the data reaches the disk by the kernel's write-back.
Error flush_and_close(File& file) {
    if (::close(static_cast<int>(std::exchange(file.handle, -1))) < 0 && errno != EINTR)
        return errno;
    return 0;
}

void remove_created(File& file, const Path& path) noexcept {
    struct stat now;
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == file.identity[0] &&
        now.st_ino == file.identity[1])
        ::unlink(path.c_str());
}

void remove_file(const Path& path) noexcept { ::unlink(path.c_str()); }

void remove_folder(const Path& path) noexcept { ::rmdir(path.c_str()); }

}  // namespace pdfm::platform
