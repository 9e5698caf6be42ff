#include "quoting.hpp"

#include "pyref.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace tarvo::python {

namespace {

struct CodeRange {
    std::uint32_t first;
    std::uint32_t last;
};

// Unicode's Other_Grapheme_Extend property: characters that extend a grapheme without
// being combining marks (Mn / Me), so the general category alone does not reveal them.
constexpr std::array<CodeRange, 24> OTHER_GRAPHEME_EXTEND = {{
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E}, {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE}, {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2}, {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57}, {0x0DCF, 0x0DCF}, {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35}, {0x200C, 0x200C}, {0x302E, 0x302F}, {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
}};
constexpr CodeRange TAG_CHARACTERS = {0xE0020, 0xE007F};  // also Other_Grapheme_Extend

bool is_other_grapheme_extend(std::uint32_t c) {
    if (c >= TAG_CHARACTERS.first && c <= TAG_CHARACTERS.last) return true;
    for (const CodeRange& range : OTHER_GRAPHEME_EXTEND) {
        if (c >= range.first && c <= range.last) return true;
    }
    return false;
}

// The general categories whose characters str.isprintable rejects (the blank
// U+0020, though Zs, is printable and handled with ASCII).
bool is_unprintable_category(std::string_view category) {
    return category == "Cc" || category == "Cf" || category == "Cs" || category == "Co" ||
           category == "Cn" || category == "Zl" || category == "Zp" || category == "Zs";
}

bool is_extending_category(std::string_view category) { return category == "Mn" || category == "Me"; }

void append_escape(std::string& out, std::uint32_t c) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "\\u{%x}", static_cast<unsigned>(c));
    out += digits;
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
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

// Looks up general categories through unicodedata, which shares the interpreter's
// Unicode database with str.isprintable. Imported only when non-ASCII text appears.
class CategoryLookup {
public:
    // Writes the two-letter category of c; false with an exception set on failure.
    bool category(std::uint32_t c, char (&out)[3]) {
        if (!category_ && !load()) return false;
        PyRef character(PyUnicode_FromOrdinal(static_cast<int>(c)));
        if (!character) return false;
        PyRef name(PyObject_CallFunctionObjArgs(category_.get(), character.get(), nullptr));
        if (!name) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (text == nullptr) return false;
        out[0] = size > 0 ? text[0] : '?';
        out[1] = size > 1 ? text[1] : '?';
        out[2] = '\0';
        return true;
    }

private:
    bool load() {
        PyRef module(PyImport_ImportModule("unicodedata"));
        if (!module) return false;
        category_.reset(PyObject_GetAttrString(module.get(), "category"));
        return static_cast<bool>(category_);
    }

    PyRef category_;
};

bool append_character(std::string& out, std::uint32_t c, CategoryLookup& lookup) {
    switch (c) {
        case '\t': out += "\\t"; return true;
        case '\r': out += "\\r"; return true;
        case '\n': out += "\\n"; return true;
        case '\0': out += "\\0"; return true;
        case '"': out += "\\\""; return true;
        case '\\': out += "\\\\"; return true;
        default: break;
    }
    if (c < 0x80) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            append_escape(out, c);
        }
        return true;
    }
    char category[3];
    if (!lookup.category(c, category)) return false;
    const bool hidden = is_unprintable_category(category) || is_extending_category(category) ||
                        is_other_grapheme_extend(c);
    if (hidden) {
        append_escape(out, c);
    } else {
        append_utf8(out, c);
    }
    return true;
}

}  // namespace

bool append_quoted(std::string& out, PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) return false;
    Py_UCS4* characters = PyUnicode_AsUCS4Copy(text);
    if (characters == nullptr) return false;
    CategoryLookup lookup;
    bool ok = true;
    try {
        out += '"';
        for (Py_ssize_t i = 0; ok && i < length; ++i) ok = append_character(out, characters[i], lookup);
        out += '"';
    } catch (...) {
        PyErr_NoMemory();
        ok = false;
    }
    PyMem_Free(characters);
    return ok;
}

}  // namespace tarvo::python
