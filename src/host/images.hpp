// The image library operations the handlers use: Pillow's `Image` module,
// the size and resolution of an opened image, a resized copy, and PNG data
// written to an in-memory stream.
#pragma once

#include "../functions/constants.hpp"
#include "../module/function.hpp"

namespace pdfm::images {

// from PIL import Image
inline Ref import_image(const Call& c) { return import_from(c.globals(), "PIL"_py, "Image"_py); }

// Image.open, found on the given `Image` module when this is made, before
// its argument is computed; open(path) opens the file (a context manager).
class Open {
public:
    explicit Open(PyObject* Image) : open_(attr(Image, "open"_py)) {}
    Ref operator()(PyObject* path) const { return call(open_, path); }

private:
    Ref open_;
};

// Image.open(path), with `Image` as bound in the module's namespace.
inline Ref open(const Call& c, PyObject* path) { return Open(c.global("Image"_py))(path); }

// img.size: the pair (width, height) in pixels.
inline Ref size(PyObject* img) { return attr(img, "size"_py); }

// img.info.get("dpi", (72, 72))[0]: the horizontal resolution that the file
// records, or 72 when it records none.
inline Ref horizontal_dpi(PyObject* img) {
    Ref dpi = method(attr(img, "info"_py), "get"_py, "dpi"_py,
                     tuple_of(int_<unrecorded_image_dpi>(), int_<unrecorded_image_dpi>()));
    return item(dpi, int_<0>());
}

// img.resize, found when this is made, before the new size is computed;
// resize(width, height) returns the resized copy: img.resize((width, height)).
class Resize {
public:
    explicit Resize(PyObject* img) : resize_(attr(img, "resize"_py)) {}
    Ref operator()(PyObject* width, PyObject* height) const {
        return call(resize_, tuple_of(width, height));
    }

private:
    Ref resize_;
};

// io.BytesIO(): an empty in-memory byte stream.
inline Ref byte_stream(const Call& c) { return call(attr(c.global("io"_py), "BytesIO"_py)); }
// image.save(stream, format="PNG")
inline void save_png(PyObject* image, PyObject* stream) {
    call_kw(attr(image, "save"_py), {stream}, {{"format"_py, "PNG"_py}});
}
// stream.getvalue(): the bytes written to the stream.
inline Ref written_bytes(PyObject* stream) { return method(stream, "getvalue"_py); }

}  // namespace pdfm::images
