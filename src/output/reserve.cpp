// Taking the output name with an exclusive create, and writing the document
// into exactly the file that was created.
//
// The PDF library can only save fast to a path, and it saves to a path by
// removing whatever has that name and opening it anew, which follows a link
// planted there and can meet a file another process has just created. So the
// document is saved into a private folder (mode 0700, made by us beside the
// output file) and then copied into the reserved file through our own
// descriptor. Within one file system the copy is done by the kernel.
#include "reserve.hpp"

#include "../host/pdf_library.hpp"
#include "naming.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

namespace pdfm {

namespace {

[[noreturn]] void raise_os_error(PyObject* filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    raise();
}

// The path as bytes for the file system (str, bytes or a path-like object).
Ref fs_encode(PyObject* path) {
    PyObject* out = nullptr;
    if (!PyUnicode_FSConverter(path, &out)) raise();
    return Ref::steal(out);
}

Ref fs_decode(const std::string& path) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

[[noreturn]] void raise_os_error(const std::string& fs_name) {
    int saved = errno;
    Ref name = fs_decode(fs_name);
    errno = saved;
    raise_os_error(name);
}

// The folder part of a file-system path ("." for a bare name).
std::string parent_of(PyObject* fs_path) {
    std::string path(PyBytes_AS_STRING(fs_path), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path)));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// A folder that only this process writes into; removed with its one file.
class PrivateFolder {
public:
    explicit PrivateFolder(const std::string& parent) : path_(parent + "/.pdf_module-XXXXXX") {
        if (::mkdtemp(path_.data()) == nullptr) raise_os_error(path_);
        file_ = path_ + "/output.pdf";
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder() {
        ::unlink(file_.c_str());
        ::rmdir(path_.c_str());
    }
    const std::string& file() const noexcept { return file_; }

private:
    std::string path_;
    std::string file_;
};

// Copies everything from `in` (at its offset) to `out` (at its offset).
// Returns false with errno set when a read or write fails.
bool copy_all(int in, int out) {
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, ssize_t{1} << 30, 0);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return false;
    }
    // The kernel cannot copy between these two: read and write instead.
    static thread_local char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += put;
        }
    }
}

}  // namespace

OutputFile::OutputFile(const Call& c, PyObject* directory, PyObject* base_name, PyObject* first) {
    if (create(first)) return;
    for (long long i = 1;; ++i) {
        if (create(join_path(c, directory, numbered_name(base_name, new_int(i))))) return;
    }
}

bool OutputFile::create(PyObject* candidate) {
    Ref fs = fs_encode(candidate);
    int fd;
    do {
        fd = ::open(PyBytes_AS_STRING(fs.get()), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        raise_os_error(candidate);
    }
    struct stat st;
    if (::fstat(fd, &st) < 0) {
        int saved = errno;
        ::unlink(PyBytes_AS_STRING(fs.get()));
        ::close(fd);
        errno = saved;
        raise_os_error(candidate);
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    path_ = Ref::borrow(candidate);
    fs_path_ = std::move(fs);
    return true;
}

void OutputFile::write(PyObject* doc) {
    PrivateFolder folder(parent_of(fs_path_));
    pdf::save(doc, fs_decode(folder.file()));

    Descriptor saved(::open(folder.file().c_str(), O_RDONLY | O_CLOEXEC));
    if (saved.get() < 0) raise_os_error(folder.file());
    if (!copy_all(saved.get(), fd_)) raise_os_error(path_);
    int rc = ::close(std::exchange(fd_, -1));
    if (rc < 0 && errno != EINTR) raise_os_error(path_);
    complete_ = true;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (complete_ || !fs_path_) return;
    // Remove the file only while the name still leads to the file we created.
    struct stat st;
    const char* name = PyBytes_AS_STRING(fs_path_.get());
    if (::lstat(name, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(name);
}

}  // namespace pdfm
