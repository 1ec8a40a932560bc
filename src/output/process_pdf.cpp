// Stamping the image onto the selected pages and saving the result under a
// new name.
#include "../host/pdf_library.hpp"
#include "../functions/bodies.hpp"
#include "reserve.hpp"
#include "../host/paths.hpp"

#include <type_traits>

namespace pdfm {

namespace {

// show_dialog(page, message): the module's function as bound at this moment,
// looked up before the message is built (`message` is a fixed text or a
// function that formats it).
template <class Message>
void show_dialog(const Call& c, PyObject* page, Message&& message) {
    Ref show = c.global("show_dialog"_py);
    if constexpr (std::is_invocable_v<Message>)
        call(show, page, message());
    else
        call(show, page, message);
}

// mm_to_pt(float(value))
Ref points(const Call& c, PyObject* mm) {
    Ref mm_to_pt = c.global("mm_to_pt"_py);
    return call(mm_to_pt, to_float(mm));
}

// p.strip().isdigit() and 1 <= int(p) <= total_pages
bool selects_page(PyObject* p, PyObject* total_pages) {
    if (!truth(method(method(p, "strip"_py), "isdigit"_py))) return false;
    Ref number = to_int(p);
    return le(int_<1>(), number) && le(number, total_pages);
}

// Draws the image into `rect`, given as the page is displayed. A page without
// rotation takes the rectangle as it is. On a rotated page the library expects
// unrotated coordinates, so the rectangle goes through the page's derotation,
// and the image is turned by the page's rotation so that it shows upright.
// insert_image converts its rectangle to PDF space with the page's
// transformation matrix, which on rotated pages leaves out the crop box's
// origin; the rectangle is therefore carried into PDF space here (unrotated
// coordinates are measured from the crop box's top-left corner, y downwards)
// and back through that same matrix.
void insert_upright(const Call& c, PyObject* pdf_page, PyObject* rect, PyObject* image_path) {
    Ref rotation = pdf::rotation(pdf_page);
    if (!truth(rotation)) return pdf::insert_image(pdf_page, rect, image_path);
    Ref cropbox = pdf::cropbox(pdf_page);
    Ref mediabox = pdf::mediabox(pdf_page);
    // fitz.Matrix(1, 0, 0, -1, cropbox.x0, mediabox.y1 - cropbox.y0), in Python's order
    Ref make_matrix = pdf::matrix_class(c);
    Ref origin_x = attr(cropbox, "x0"_py);
    Ref top = attr(mediabox, "y1"_py);
    Ref origin_y = sub(top, attr(cropbox, "y0"_py));
    Ref unrotated_to_pdf =
        call(make_matrix, int_<1>(), int_<0>(), int_<0>(), int_<-1>(), origin_x, origin_y);
    Ref unrotated = mul(rect, pdf::derotation_matrix(pdf_page));
    Ref in_pdf = mul(unrotated, unrotated_to_pdf);
    Ref target = mul(in_pdf, pdf::transformation_matrix(pdf_page));
    pdf::insert_image(pdf_page, target, image_path, rotation);
}

// The pages listed in `target_pages`, merged into `pages_to_insert`.
void add_listed_pages(PyObject* pages_to_insert, PyObject* target_pages, PyObject* total_pages) {
    Ref listed = Ref::steal(PyList_New(0));
    Ref pieces = method(target_pages, "split"_py, ","_py);
    Ref it = Ref::steal(PyObject_GetIter(pieces));
    while (Ref p = Ref::adopt(PyIter_Next(it))) {
        if (selects_page(p, total_pages)) check(PyList_Append(listed, sub(to_int(p), int_<1>())));
    }
    if (PyErr_Occurred()) raise();
    method(pages_to_insert, "update"_py, listed);
}

}  // namespace

Ref process_pdf(Call& c) {
    auto [pdf_path, image_path, save_path, x_mm, y_mm, width_mm, height_mm, target_pages,
          page_interval, page] = c.args<10>();

    c.at(381);
    if (!truth(pdf_path) || !truth(image_path)) {
        c.at(382);
        show_dialog(c, page, "【ERROR】PDFと画像の両方を指定してください"_py);
        return nullptr;
    }

    Ref doc;
    try {
        c.at(386);
        doc = pdf::open(c, pdf_path);
    } catch (const PyErrorSet&) {
        Caught e = catch_only(PyExc_Exception);
        c.at(388);
        show_dialog(c, page, [&] {
            return concat({"【ERROR】PDFの読み込みに失敗しました: "_py, format(e, ""_py)});
        });
        return nullptr;
    }

    c.at(391);
    Ref total_pages = Ref::steal(PyLong_FromSsize_t(length(doc)));

    Ref x, y, width, height;
    try {
        c.at(394);
        x = points(c, x_mm);
        c.at(395);
        y = points(c, y_mm);
        c.at(396);
        width = points(c, width_mm);
        c.at(397);
        height = points(c, height_mm);
    } catch (const PyErrorSet&) {
        Caught e = catch_only(builtins.ValueError);
        c.at(399);
        show_dialog(c, page, "【ERROR】数値が正しく入力されていません"_py);
        return nullptr;
    }

    c.at(402);
    Ref pages_to_insert = Ref::steal(PySet_New(nullptr));
    c.at(403);
    if (truth(target_pages)) {
        try {
            c.at(405);
            add_listed_pages(pages_to_insert, target_pages, total_pages);
        } catch (const PyErrorSet&) {
            Caught e = catch_only(PyExc_Exception);
            c.at(411);
            show_dialog(c, page, "【ERROR】ページ指定が不正です"_py);
            return nullptr;
        }
    }

    c.at(413);
    if (truth(page_interval)) {
        try {
            c.at(415);
            Ref interval = to_int(page_interval);
            c.at(416);
            if (gt(interval, int_<0>())) {
                c.at(417);
                Ref every_nth =
                    call(builtins.range, sub(interval, int_<1>()), total_pages, interval);
                method(pages_to_insert, "update"_py, every_nth);
            }
        } catch (const PyErrorSet&) {
            Caught e = catch_only(builtins.ValueError);
            c.at(419);
            show_dialog(c, page, "【ERROR】ページ毎の数字が不正です"_py);
            return nullptr;
        }
    }

    c.at(423);
    if (!truth(pages_to_insert)) {
        show_dialog(c, page, "【ERROR】対象ページが指定されていません"_py);
        return nullptr;
    }

    c.at(427);
    pdf::Stamping stamping(c);
    Ref pages = Ref::steal(PyObject_GetIter(pages_to_insert));
    while (Ref page_num = Ref::adopt(PyIter_Next(pages))) {
        try {
            c.at(429);
            Ref pdf_page = pdf::page_at(doc, page_num);
            c.at(430);
            Ref make_rect = pdf::rect_class(c);
            Ref x1 = add(x, width);
            Ref y1 = add(y, height);
            Ref rect = call(make_rect, x, y, x1, y1);
            c.at(431);
            print(concat({"DEBUG: Inserting image at "_py, format(rect, ""_py), " on page "_py,
                          format(add(page_num, int_<1>()), ""_py)}));
            c.at(432);
            stamping.own_resources(pdf_page);
            stamping.keep_page_map(pdf_page);
            insert_upright(c, pdf_page, rect, image_path);
            stamping.restore_page_map();
        } catch (const PyErrorSet&) {
            stamping.restore_page_map();
            Caught e = catch_only(PyExc_Exception);
            c.at(434);
            show_dialog(c, page, [&] {
                return concat({"【ERROR】ページ "_py, format(add(page_num, int_<1>()), ""_py),
                               " への画像挿入に失敗: "_py, format(e, ""_py)});
            });
            return nullptr;
        }
        c.at(427);
    }
    if (PyErr_Occurred()) raise();

    c.at(438);
    Ref directory = truth(save_path) ? Ref::borrow(save_path) : paths::getcwd(c);
    c.at(439);
    PyObject* base_name = "output.pdf"_py;
    c.at(440);
    Ref get_unique_filename = c.global("get_unique_filename"_py);
    Ref unique_filename = call(get_unique_filename, directory, base_name);

    try {
        // The document is saved completely, then takes the name; when someone
        // else took it first, the next free numbered name is used, and that
        // is the name reported below.
        c.at(444);
        unique_filename = save_under_free_name(c, doc, directory, base_name, unique_filename);
        c.at(445);
        pdf::close(doc);
        c.at(446);
        print(concat({"[INFO] PDF出力完了: "_py, format(unique_filename, ""_py)}));
        c.at(448);
        show_dialog(c, page,
                    [&] { return concat({"PDF出力完了: "_py, format(unique_filename, ""_py)}); });
    } catch (const PyErrorSet&) {
        Caught e = catch_only(PyExc_Exception);
        c.at(451);
        show_dialog(c, page,
                    [&] { return concat({"【ERROR】PDFの保存に失敗: "_py, format(e, ""_py)}); });
    }
    return nullptr;
}

}  // namespace pdfm
