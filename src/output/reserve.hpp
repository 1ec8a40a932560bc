// The output file: a name taken in the output folder by creating the file
// exclusively, the document written into that very file, and the file removed
// again when it was not written completely.
#pragma once

#include "../module/function.hpp"

#include <sys/types.h>

namespace pdfm {

class OutputFile {
public:
    // Creates `first` as a new, empty file. When that name is taken, by any
    // kind of entry including a symbolic link (dangling or not), the numbered
    // names "<base_name>_1.pdf", "<base_name>_2.pdf", ... in `directory` are
    // tried in turn. An existing entry is never opened, followed or replaced.
    OutputFile(const Call& c, PyObject* directory, PyObject* base_name, PyObject* first);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the file again unless write() completed.
    ~OutputFile();

    // The name that was created, as a path object of the caller's kind.
    PyObject* path() const noexcept { return path_.get(); }

    // Writes `doc` into the file: doc.save(..., garbage=4, clean=True) into a
    // private folder beside it, then its bytes into the reserved file.
    void write(PyObject* doc);

private:
    bool create(PyObject* candidate);

    Ref path_;
    Ref fs_path_;  // path_ encoded for the file system (bytes)
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool complete_ = false;
};

}  // namespace pdfm
