// tcl_text.cpp — conversions between Python text and Tcl's UTF-8 bytes.
// Both directions work code point by code point; no step is lossy.

#include "tcl_text.hpp"

#include <cstring>
#include <vector>

namespace tessel {

namespace {

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c == 0) {
        out += "\xC0\x80";
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool continuation(const unsigned char* p, size_t i, size_t size) {
    return i < size && (p[i] & 0xC0) == 0x80;
}

/// Decodes one sequence at `i`; returns its code point and advances `i`.
/// A byte that starts no valid sequence stands for itself.
Py_UCS4 decode_one(const unsigned char* p, size_t& i, size_t size) {
    unsigned char b = p[i];
    if (b < 0x80) {
        i += 1;
        return b;
    }
    if ((b & 0xE0) == 0xC0 && continuation(p, i + 1, size)) {
        Py_UCS4 c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3F);
        if (c >= 0x80 || c == 0) {
            i += 2;
            return c;
        }
    } else if ((b & 0xF0) == 0xE0 && continuation(p, i + 1, size) && continuation(p, i + 2, size)) {
        Py_UCS4 c = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
        if (c >= 0x800) {
            i += 3;
            return c;
        }
    } else if ((b & 0xF8) == 0xF0 && continuation(p, i + 1, size) && continuation(p, i + 2, size) &&
               continuation(p, i + 3, size)) {
        Py_UCS4 c = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
                    (p[i + 3] & 0x3F);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            i += 4;
            return c;
        }
    }
    i += 1;
    return b;
}

} // namespace

std::string to_tcl_utf8(PyObject* text) {
    TextView view(text);
    std::string out;
    if (view.kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(text)) {
        const char* ascii = static_cast<const char*>(view.data);
        if (!std::memchr(ascii, 0, view.length)) return std::string(ascii, view.length);
    }
    out.reserve(view.length + 8);
    for (Py_ssize_t i = 0; i < view.length; ++i)
        append_utf8(out, view[i]);
    return out;
}

PyObject* from_tcl_utf8(const char* bytes, size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t ascii = 0;
    while (ascii < size && p[ascii] < 0x80)
        ++ascii;
    if (ascii == size) {
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (result) std::memcpy(PyUnicode_DATA(result), bytes, size);
        return result;
    }
    std::vector<Py_UCS4> points(p, p + ascii);
    points.reserve(size);
    size_t i = ascii;
    while (i < size) {
        Py_UCS4 c = decode_one(p, i, size);
        // A surrogate pair written as two three-byte sequences is one character.
        if (c >= 0xD800 && c < 0xDC00 && i < size) {
            size_t j = i;
            Py_UCS4 low = decode_one(p, j, size);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i = j;
            }
        }
        points.push_back(c);
    }
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(),
                                     static_cast<Py_ssize_t>(points.size()));
}

} // namespace tessel
