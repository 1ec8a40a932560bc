// A resized copy of an image file as Base64 text of a PNG file.
#include "../functions/bodies.hpp"
#include "../host/base64_text.hpp"
#include "../host/images.hpp"

namespace pdfm {

Ref generate_resized_base64_image(Call& c) {
    auto [image_path, width, height] = c.args<3>();
    Ref encoded;
    c.at(222);
    Ref opened = images::open(c, image_path);
    with(c, 222, opened, [&](PyObject* img) {
        c.at(223);
        images::Resize resize(img);
        Ref int_width = to_int(width);
        Ref int_height = to_int(height);
        Ref resized = resize(int_width, int_height);
        c.at(224);
        Ref buffered = images::byte_stream(c);
        c.at(225);
        images::save_png(resized, buffered);
        c.at(226);
        base64::Encoder b64encode(c);
        encoded = b64encode(images::written_bytes(buffered));
    });
    // The return statement sits inside the block: when __exit__ swallows a
    // failure, the function falls off its end.
    return encoded;
}

}  // namespace pdfm
