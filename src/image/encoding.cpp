// A resized copy of an image file as Base64 text of a PNG file.
#include "../module/bodies.hpp"

namespace pdfm {

Ref generate_resized_base64_image(Call& c) {
    auto [image_path, width, height] = c.args<3>();
    Ref encoded;
    c.at(222);
    Ref opened = call(attr(c.global("Image"_py), "open"_py), image_path);
    with(c, 222, opened, [&](PyObject* img) {
        c.at(223);
        Ref int_width = to_int(width);
        Ref resized = method(img, "resize"_py, tuple_of(int_width, to_int(height)));
        c.at(224);
        Ref buffered = call(attr(c.global("io"_py), "BytesIO"_py));
        c.at(225);
        call_kw(attr(resized, "save"_py), {buffered}, {{"format"_py, "PNG"_py}});
        c.at(226);
        Ref raw = method(c.global("base64"_py), "b64encode"_py, method(buffered, "getvalue"_py));
        encoded = method(raw, "decode"_py, "utf-8"_py);
    });
    // The return statement sits inside the block: when __exit__ swallows a
    // failure, the function falls off its end.
    return encoded;
}

}  // namespace pdfm
