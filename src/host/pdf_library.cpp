// The library operations that take more than one call: here, through the
// library's low-level bindings (fitz.mupdf), which copy PDF objects exactly.
#include "pdf_library.hpp"

namespace pdfm::pdf {

namespace {

// fitz.mupdf, and its functions called by name.
class LowLevel {
public:
    explicit LowLevel(const Call& c) : mupdf_(attr(c.global("fitz"_py), "mupdf"_py)) {}

    template <class... A>
    Ref operator()(PyObject* function, const A&... args) const {
        Ref f = attr(mupdf_, function);
        return call(f, args...);
    }
    bool is(PyObject* test, PyObject* obj) const { return truth((*this)(test, obj)); }

    // holder[key] = a new indirect object holding a deep copy of `value`
    // (its direct parts copied, its references to other objects kept).
    void put_copy(PyObject* doc, PyObject* holder, PyObject* key, PyObject* value) const {
        Ref resolved = (*this)("pdf_resolve_indirect"_py, value);
        Ref copy = (*this)("pdf_deep_copy_obj"_py, resolved);
        Ref reference = (*this)("pdf_add_object"_py, doc, copy);
        (*this)("pdf_dict_put"_py, holder, key, reference);
    }

private:
    Ref mupdf_;
};

}  // namespace

void own_resources(const Call& c, PyObject* page) {
    LowLevel mu(c);
    Ref pdf_page = mu("pdf_page_from_fz_page"_py, attr(page, "this"_py));
    if (!truth(attr(pdf_page, "m_internal"_py))) return;
    Ref page_obj = method(pdf_page, "obj"_py);
    Ref doc = mu("pdf_get_bound_document"_py, page_obj);

    Ref resources_key = mu("pdf_new_name"_py, "Resources"_py);
    Ref resources = mu("pdf_dict_get_inheritable"_py, page_obj, resources_key);
    if (!mu.is("pdf_is_dict"_py, resources)) return;  // insert_image gives the page new ones
    Ref own = mu("pdf_dict_get"_py, page_obj, resources_key);
    if (mu.is("pdf_is_indirect"_py, own) || !mu.is("pdf_is_dict"_py, own)) {
        mu.put_copy(doc, page_obj, resources_key, resources);
        own = mu("pdf_dict_get"_py, page_obj, resources_key);
    }

    Ref xobject_key = mu("pdf_new_name"_py, "XObject"_py);
    Ref xobject = mu("pdf_dict_get"_py, own, xobject_key);
    if (mu.is("pdf_is_indirect"_py, xobject) && mu.is("pdf_is_dict"_py, xobject))
        mu.put_copy(doc, own, xobject_key, xobject);
}

}  // namespace pdfm::pdf
