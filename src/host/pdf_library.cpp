// The library operations that take more than one call: here, through the
// library's low-level bindings (fitz.mupdf). Reading goes through the ll_
// functions, which take the library's own pointers and keep no reference;
// copying goes through the class-aware functions, which copy PDF objects
// exactly and own what they return.
#include "pdf_library.hpp"

#include <unordered_map>

namespace pdfm::pdf {

struct Stamping::LowLevel {
    explicit LowLevel(const Call& c) : mupdf(attr(c.global("fitz"_py), "mupdf"_py)) {
        resources = (*this)("pdf_new_name"_py, "Resources"_py);
        xobject = (*this)("pdf_new_name"_py, "XObject"_py);
        resources_ptr = attr(resources, "m_internal"_py);
        xobject_ptr = attr(xobject, "m_internal"_py);
    }

    // fitz.mupdf.<function>(args...)
    template <class... A>
    Ref operator()(PyObject* function, const A&... args) const {
        Ref f = attr(mupdf, function);
        return call(f, args...);
    }
    bool is(PyObject* test, PyObject* obj) const { return truth((*this)(test, obj)); }
    long long number(PyObject* reference) const {
        Ref n = (*this)("ll_pdf_to_num"_py, reference);
        long long v = PyLong_AsLongLong(n);
        if (v == -1 && PyErr_Occurred()) raise();
        return v;
    }

    // holder[key] = a new indirect object holding a deep copy of `value`
    // (its direct parts copied, its references to other objects kept).
    void put_copy(PyObject* doc, PyObject* holder, PyObject* key, PyObject* value) const {
        Ref resolved = (*this)("pdf_resolve_indirect"_py, value);
        Ref copy = (*this)("pdf_deep_copy_obj"_py, resolved);
        Ref reference = (*this)("pdf_add_object"_py, doc, copy);
        (*this)("pdf_dict_put"_py, holder, key, reference);
    }

    Ref mupdf;
    Ref resources, xobject;          // the names /Resources and /XObject
    Ref resources_ptr, xobject_ptr;  // the same as the library's pointers
    // Object number -> how many pages refer to that dictionary as their
    // /Resources or /XObject; `counted` once the page tree was read, and
    // `all_shared` when it could not be.
    std::unordered_map<long long, long long> refs;
    bool counted = false;
    bool all_shared = false;
    // The document whose page map is kept, and its switch as it was.
    Ref kept_doc, previous_switch;
};

Stamping::Stamping(const Call& c) : c_(c) {}
Stamping::~Stamping() = default;

Stamping::LowLevel& Stamping::low_level() {
    if (!mu_) mu_ = std::make_unique<LowLevel>(c_);
    return *mu_;
}

// The library's pdf_page of a page object, or None for a page of another kind.
Ref Stamping::pdf_page(PyObject* page) {
    return low_level()("ll_pdf_page_from_fz_page"_py, attr(attr(page, "this"_py), "m_internal"_py));
}

void Stamping::count_refs(PyObject* pdf_page) {
    LowLevel& mu = low_level();
    mu.counted = true;
    try {
        Ref doc = attr(pdf_page, "doc"_py);
        Ref pages = mu("ll_pdf_count_pages"_py, doc);
        long long n = PyLong_AsLongLong(pages);
        if (n == -1 && PyErr_Occurred()) raise();
        for (long long i = 0; i < n; ++i) {
            Ref page_obj = mu("ll_pdf_lookup_page_obj"_py, doc, new_int(i));
            Ref resources = mu("ll_pdf_dict_get"_py, page_obj, mu.resources_ptr);
            if (!mu.is("ll_pdf_is_indirect"_py, resources) && !mu.is("ll_pdf_is_dict"_py, resources))
                resources = mu("ll_pdf_dict_get_inheritable"_py, page_obj, mu.resources_ptr);
            if (mu.is("ll_pdf_is_indirect"_py, resources)) ++mu.refs[mu.number(resources)];
            Ref xobject = mu("ll_pdf_dict_get"_py, resources, mu.xobject_ptr);
            if (mu.is("ll_pdf_is_indirect"_py, xobject)) ++mu.refs[mu.number(xobject)];
        }
    } catch (const PyErrorSet&) {
        // A page tree the library cannot walk: every dictionary counts as shared.
        Caught e = catch_only(PyExc_Exception);
        mu.all_shared = true;
    }
}

// Whether a page other than the one being stamped refers to the dictionary
// `reference` (an indirect one) as well.
bool Stamping::shared(PyObject* reference, PyObject* pdf_page) {
    LowLevel& mu = low_level();
    if (!mu.counted) count_refs(pdf_page);
    if (mu.all_shared) return true;
    auto found = mu.refs.find(mu.number(reference));
    return found != mu.refs.end() && found->second > 1;
}

// One page fewer refers to `reference`.
void Stamping::left(PyObject* reference) {
    LowLevel& mu = low_level();
    if (!mu.counted || mu.all_shared) return;
    auto found = mu.refs.find(mu.number(reference));
    if (found != mu.refs.end()) --found->second;
}

void Stamping::own_resources(PyObject* page) {
    Ref page_ptr = pdf_page(page);
    if (page_ptr.get() == Py_None) return;
    LowLevel& mu = low_level();
    Ref page_obj = attr(page_ptr, "obj"_py);

    Ref own = mu("ll_pdf_dict_get"_py, page_obj, mu.resources_ptr);
    bool copy = false;
    if (mu.is("ll_pdf_is_indirect"_py, own)) {
        copy = mu.is("ll_pdf_is_dict"_py, own) && shared(own, page_ptr);
    } else if (!mu.is("ll_pdf_is_dict"_py, own)) {
        own = mu("ll_pdf_dict_get_inheritable"_py, page_obj, mu.resources_ptr);
        if (!mu.is("ll_pdf_is_dict"_py, own)) return;  // insert_image gives the page new ones
        copy = true;
    }
    Ref xobject = mu("ll_pdf_dict_get"_py, own, mu.xobject_ptr);
    bool copy_xobject = mu.is("ll_pdf_is_indirect"_py, xobject) &&
                        mu.is("ll_pdf_is_dict"_py, xobject) && shared(xobject, page_ptr);
    if (!copy && !copy_xobject) return;

    Ref page_object = method(mu("pdf_page_from_fz_page"_py, attr(page, "this"_py)), "obj"_py);
    Ref doc = mu("pdf_get_bound_document"_py, page_object);
    if (copy) {
        if (mu.is("ll_pdf_is_indirect"_py, own)) left(own);
        Ref resources = mu("pdf_dict_get_inheritable"_py, page_object, mu.resources);
        mu.put_copy(doc, page_object, mu.resources, resources);
    }
    if (copy_xobject) {
        left(xobject);
        Ref holder = mu("pdf_dict_get"_py, page_object, mu.resources);
        Ref value = mu("pdf_dict_get"_py, holder, mu.xobject);
        mu.put_copy(doc, holder, mu.xobject, value);
    }
}

void Stamping::keep_page_map(PyObject* page) {
    Ref page_ptr = pdf_page(page);
    if (page_ptr.get() == Py_None) return;
    LowLevel& mu = low_level();
    Ref doc = attr(page_ptr, "doc"_py);
    Ref previous = Ref::adopt(PyObject_GetAttr(doc, "non_structural_change"_py));
    if (!previous) {  // a library without the switch rebuilds its map as it always did
        Caught e = catch_only(PyExc_AttributeError);
        return;
    }
    set_attr(doc, "non_structural_change"_py, int_<1>());
    mu.kept_doc = std::move(doc);
    mu.previous_switch = std::move(previous);
}

void Stamping::restore_page_map() {
    if (!mu_ || !mu_->kept_doc) return;
    Ref doc = std::move(mu_->kept_doc);
    Ref previous = std::move(mu_->previous_switch);
    Ref pending = Ref::adopt(PyErr_GetRaisedException());
    int rc = PyObject_SetAttr(doc, "non_structural_change"_py, previous);
    if (pending) {
        if (rc < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
        return;
    }
    check(rc);
}

}  // namespace pdfm::pdf
