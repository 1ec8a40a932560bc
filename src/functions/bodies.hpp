// The bodies of the fifteen published functions, each in its subsystem's
// folder; the function table binds them to their names.
#pragma once

#include "../module/function.hpp"

namespace pdfm {

// units/
Ref mm_to_pt(Call& c);
Ref format_mm_value(Call& c);
Ref scale_image_to_pdf(Call& c);
// Their entries, which take the bodies' short paths first.
PyObject* mm_to_pt_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames);
PyObject* format_mm_value_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames);
PyObject* scale_image_to_pdf_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames);

// image/
Ref select_image(Call& c);
Ref generate_resized_base64_image(Call& c);
Ref update_image_position(Call& c);
Ref update_image_size(Call& c);
Ref update_image_sizeb(Call& c);

// preview/
Ref select_pdf(Call& c);
Ref on_page_number_change(Call& c);

// output/
Ref process_pdf(Call& c);
Ref select_directory(Call& c);
Ref get_unique_filename(Call& c);

// dialogs/
Ref show_dialog(Call& c);
Ref confirm_exit(Call& c);

}  // namespace pdfm
