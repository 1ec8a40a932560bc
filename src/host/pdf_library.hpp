// The PDF library operations the handlers use, each on `fitz` as it is
// bound in the module's namespace at the time of the call.
#pragma once

#include "../module/function.hpp"

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
// Gives `page` its own copy of each dictionary that page.insert_image adds
// the image's name to: the page's /Resources and their /XObject entry.
// insert_image writes into the resources the page inherits, or refers to, and
// picks a free name by listing every name already there; when all pages share
// one dictionary that makes stamping n pages take n * n steps. Whether others
// refer to an indirect dictionary would take a scan of the whole document, so
// every indirect or inherited one is copied: the copy is small, and the save
// (garbage=4) drops the originals nobody uses any more and merges identical
// copies again. A page that is not a PDF page is left to insert_image.
void own_resources(const Call& c, PyObject* page);

// doc.close()
inline void close(PyObject* doc) { method(doc, "close"_py); }

}  // namespace pdfm::pdf
