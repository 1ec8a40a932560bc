// The PDF library operations the handlers use, each on `fitz` as it is
// bound in the module's namespace at the time of the call.
#pragma once

#include "../module/function.hpp"

#include <memory>

namespace pdfm::pdf {

// fitz.open(path)
inline Ref open(const Call& c, PyObject* path) {
    return call(attr(c.global("fitz"_py), "open"_py), path);
}
// doc.page_count
inline Ref page_count(PyObject* doc) { return attr(doc, "page_count"_py); }
// doc.load_page(index)
inline Ref load_page(PyObject* doc, PyObject* index) { return method(doc, "load_page"_py, index); }
// page.get_pixmap() and page.get_pixmap(dpi=dpi)
inline Ref get_pixmap(PyObject* page) { return method(page, "get_pixmap"_py); }
inline Ref get_pixmap(PyObject* page, PyObject* dpi) {
    return call_kw(attr(page, "get_pixmap"_py), {}, {{"dpi"_py, dpi}});
}
// page.rect
inline Ref page_rect(PyObject* page) { return attr(page, "rect"_py); }
// pix.width, pix.height (and a rectangle's width, height)
inline Ref width(PyObject* o) { return attr(o, "width"_py); }
inline Ref height(PyObject* o) { return attr(o, "height"_py); }
// pix.tobytes("png")
inline Ref png_bytes(PyObject* pix) { return method(pix, "tobytes"_py, "png"_py); }
// page.insert_image(rect, filename=path)
inline void insert_image(PyObject* page, PyObject* rect, PyObject* path) {
    call_kw(attr(page, "insert_image"_py), {rect}, {{"filename"_py, path}});
}
// page.insert_image(rect, filename=path, rotate=rotate)
inline void insert_image(PyObject* page, PyObject* rect, PyObject* path, PyObject* rotate) {
    call_kw(attr(page, "insert_image"_py), {rect}, {{"filename"_py, path}, {"rotate"_py, rotate}});
}
// doc[index]
inline Ref page_at(PyObject* doc, PyObject* index) { return item(doc, index); }
// page.rotation, page.derotation_matrix, page.transformation_matrix
inline Ref rotation(PyObject* page) { return attr(page, "rotation"_py); }
inline Ref derotation_matrix(PyObject* page) { return attr(page, "derotation_matrix"_py); }
inline Ref transformation_matrix(PyObject* page) { return attr(page, "transformation_matrix"_py); }
// page.cropbox and page.mediabox
inline Ref cropbox(PyObject* page) { return attr(page, "cropbox"_py); }
inline Ref mediabox(PyObject* page) { return attr(page, "mediabox"_py); }
// fitz.Rect, the class itself
inline Ref rect_class(const Call& c) { return attr(c.global("fitz"_py), "Rect"_py); }
// fitz.Matrix, the class itself
inline Ref matrix_class(const Call& c) { return attr(c.global("fitz"_py), "Matrix"_py); }
// doc.save(path, garbage=4, clean=True, deflate=True)
// deflate compresses every stream that would be written uncompressed: the
// inserted image, which the library stores as raw samples, and the content
// streams that cleaning rewrites (deflate_images and deflate_fonts only add
// those kinds when deflate is off).
inline void save(PyObject* doc, PyObject* path) {
    call_kw(attr(doc, "save"_py), {path},
            {{"garbage"_py, int_<4>()}, {"clean"_py, Py_True}, {"deflate"_py, Py_True}});
}
// What process_pdf does around each page.insert_image, through the library's
// low-level bindings (fitz.mupdf); nothing here changes what is drawn or saved.
class Stamping {
public:
    explicit Stamping(const Call& c);
    Stamping(const Stamping&) = delete;
    Stamping& operator=(const Stamping&) = delete;
    ~Stamping();

    // insert_image adds the image's name to the page's /Resources and their
    // /XObject entry, picking a free name by listing every name already
    // there. Where pages share one dictionary, stamping n pages that way
    // takes n * n steps, so before it the page gets its own copy of such a
    // dictionary when another page still refers to it, or when the page
    // inherits it from the page tree. Which dictionaries pages share is learnt
    // in one pass over the page tree, made the first time a stamped page
    // refers to an indirect one; each copy leaves one page fewer on the
    // original. The save (garbage=4) merges identical copies again. A page
    // that is not a PDF page is left to insert_image.
    void own_resources(PyObject* page);

    // The library drops its map from page numbers to page objects on every
    // change to the document and rebuilds it, walking the whole page tree, at
    // the next lookup; insert_image looks its page up after the previous page
    // was changed, so every page would cost a walk of the whole tree.
    // Inserting an image moves no page, so between keep_page_map(page) and
    // restore_page_map() the document's non_structural_change switch is on
    // and the map stays. restore_page_map() puts the switch back as it was
    // and keeps an exception that is pending.
    void keep_page_map(PyObject* page);
    void restore_page_map();

private:
    struct LowLevel;
    LowLevel& low_level();
    Ref pdf_page(PyObject* page);
    void count_refs(PyObject* pdf_page);
    bool shared(PyObject* reference, PyObject* pdf_page);
    void left(PyObject* reference);

    const Call& c_;
    std::unique_ptr<LowLevel> mu_;
};

// doc.close()
inline void close(PyObject* doc) { method(doc, "close"_py); }

}  // namespace pdfm::pdf
