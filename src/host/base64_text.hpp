// Base64 text of bytes, the form in which image controls take inline
// pictures: base64.b64encode(data).decode("utf-8"), with `base64` as bound
// in the module's namespace.
#pragma once

#include "../module/function.hpp"

namespace pdfm::base64 {

// base64.b64encode, found when this is made, before the bytes are computed;
// encoder(data) gives the standard Base64 text of `data`.
class Encoder {
public:
    explicit Encoder(const Call& c) : b64encode_(attr(c.global("base64"_py), "b64encode"_py)) {}
    Ref operator()(PyObject* data) const {
        return method(call(b64encode_, data), "decode"_py, "utf-8"_py);
    }

private:
    Ref b64encode_;
};

// The Base64 text of bytes already at hand.
inline Ref text(const Call& c, PyObject* data) { return Encoder(c)(data); }

}  // namespace pdfm::base64
