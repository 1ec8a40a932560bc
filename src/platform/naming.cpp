// Naming a finished file, built on the operations of the system's file layer.
#include "files.hpp"

namespace pdfm::platform {

namespace {

// Creates `name` exclusively and copies `saved` into it. A file that could
// not be written completely is removed again, as long as the name still
// leads to the file created here.
Error copy_to_new_file(const Path& saved, const Path& name, bool& taken) {
    File out;
    if (Error error = create_new(name, out)) {
        taken = is_taken(error);
        return taken ? 0 : error;
    }
    File in;
    Error error = open_never_following(saved, in);
    if (!error) error = copy(in, out);
    if (!error) error = flush_and_close(out);
    if (error) remove_created(out, name);
    return error;
}

}  // namespace

PrivateFolder::~PrivateFolder() {
    if (path_.empty()) return;
    remove_file(file_);
    remove_folder(path_);
}

Error PrivateFolder::make(const Path& beside) {
    if (Error error = make_private_folder(beside, path_)) return error;
    file_ = path_in(path_, "output.pdf");
    return 0;
}

Naming give_name(const Path& saved, const std::function<Path(long long)>& candidate) {
    bool links_work = true;
    for (long long i = 0;; ++i) {
        Path name = candidate(i);
        if (links_work) {
            Error error = hard_link(saved, name);
            if (!error) return {i, 0};
            if (is_taken(error)) continue;
            if (!links_refused(error)) return {i, error};
            links_work = false;
        }
        bool taken = false;
        Error error = copy_to_new_file(saved, name, taken);
        if (!taken) return {i, error};
    }
}

}  // namespace pdfm::platform
