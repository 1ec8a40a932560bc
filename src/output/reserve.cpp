// Writing the output file: saved completely first, then named in one step.
//
// The PDF library can only save fast to a path, and it saves to a path by
// removing whatever has that name and opening it anew, which follows a link
// planted there and can meet a file another process has just created. So the
// document is saved into a private folder (mode 0700, made by us beside the
// output file). The finished file then takes its output name with link(),
// which fails when the name exists in any form and otherwise makes the
// complete file appear under it at once: a process killed during the save
// leaves at most the private folder, never a file under an output name.
// Where the file system refuses hard links, the name is taken by creating the
// file exclusively, and the bytes are copied into it through our own
// descriptor (within one file system by the kernel).
#include "reserve.hpp"

#include "../host/paths.hpp"
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
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A folder that only this process writes into, made in `parent`; removed with
// its one file. A failure to make it is reported under `output`, the name
// the file is meant for.
class PrivateFolder {
public:
    PrivateFolder(const std::string& parent, PyObject* output)
        : path_(parent + "/.pdf_module-XXXXXX") {
        if (::mkdtemp(path_.data()) == nullptr) raise_os_error(output);
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

// The errors of link() that mean this file system (or this process) makes
// no hard links, as opposed to a problem with the name.
bool links_refused(int error) {
    return error == EPERM || error == EXDEV || error == EMLINK || error == ENOSYS ||
           error == EOPNOTSUPP || error == ENOTSUP;
}

// The saved file, offered one output name after another.
class Naming {
public:
    explicit Naming(const std::string& saved) : saved_(saved) {}

    // Gives the saved file the name `candidate`; false when the name is taken.
    bool take(PyObject* candidate) {
        Ref fs = fs_encode(candidate);
        const char* name = PyBytes_AS_STRING(fs.get());
        if (links_work_) {
            if (::link(saved_.c_str(), name) == 0) return true;
            if (errno == EEXIST) return false;
            if (!links_refused(errno)) raise_os_error(candidate);
            links_work_ = false;
        }
        return copy_to_new_file(name, candidate);
    }

private:
    // Creates `name` exclusively and copies the saved file into it. A file
    // that could not be written completely is removed again, as long as the
    // name still leads to the file created here.
    bool copy_to_new_file(const char* name, PyObject* candidate) {
        int fd;
        do {
            fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        Descriptor out(fd);
        if (out.get() < 0) {
            if (errno == EEXIST) return false;
            raise_os_error(candidate);
        }
        struct stat created;
        if (::fstat(out.get(), &created) < 0) {
            int saved = errno;
            ::unlink(name);
            errno = saved;
            raise_os_error(candidate);
        }
        auto fail = [&] {  // raises
            int saved = errno;
            struct stat now;
            if (::lstat(name, &now) == 0 && now.st_dev == created.st_dev &&
                now.st_ino == created.st_ino)
                ::unlink(name);
            errno = saved;
            raise_os_error(candidate);
        };
        Descriptor in(::open(saved_.c_str(), O_RDONLY | O_CLOEXEC));
        if (in.get() < 0 || !copy_all(in.get(), out.get())) fail();
        if (::close(out.release()) < 0 && errno != EINTR) fail();
        return true;
    }

    std::string saved_;
    bool links_work_ = true;
};

}  // namespace

Ref save_under_free_name(const Call& c, PyObject* doc, PyObject* directory, PyObject* base_name,
                         PyObject* first) {
    PrivateFolder folder(parent_of(fs_encode(first)), first);
    pdf::save(doc, fs_decode(folder.file()));

    Naming naming(folder.file());
    if (naming.take(first)) return Ref::borrow(first);
    for (long long i = 1;; ++i) {
        Ref candidate =
            paths::join(c, directory, [&] { return numbered_name(base_name, new_int(i)); });
        if (naming.take(candidate)) return candidate;
    }
}

}  // namespace pdfm
