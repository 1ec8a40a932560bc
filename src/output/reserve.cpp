// Writing the output file: saved completely first, then named in one step.
//
// The PDF library can only save fast to a path, and it saves to a path by
// removing whatever has that name and opening it anew, which follows a link
// planted there and can meet a file another process has just created. So the
// document is saved into a private folder made by us beside the output file.
// The finished file then takes its output name with a hard link, which fails
// when the name exists in any form and otherwise makes the complete file
// appear under it at once: a process killed during the save leaves at most
// the private folder, never a file under an output name. Where the file
// system refuses hard links, the name is taken by creating the file
// exclusively, and the bytes are copied into it through our own handle.
#include "reserve.hpp"

#include "../host/paths.hpp"
#include "../host/pdf_library.hpp"
#include "../platform/python_paths.hpp"
#include "naming.hpp"

namespace pdfm {

Ref save_under_free_name(const Call& c, PyObject* doc, PyObject* directory, PyObject* base_name,
                         PyObject* first) {
    platform::PrivateFolder folder;
    if (platform::Error error = folder.make(platform::native_path(first)))
        platform::raise_os_error(error, first);
    pdf::save(doc, platform::python_path(folder.file()));

    Ref candidate = Ref::borrow(first);  // the name being tried, as the path object it is
    platform::Naming named = platform::give_name(folder.file(), [&](long long i) {
        if (i > 0)
            candidate = paths::join(c, directory, [&] { return numbered_name(base_name, new_int(i)); });
        return platform::native_path(candidate.get());
    });
    if (named.error) platform::raise_os_error(named.error, candidate.get());
    return candidate;
}

}  // namespace pdfm
