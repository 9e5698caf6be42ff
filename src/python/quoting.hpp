// Writes user-supplied text into error messages as a double-quoted string in which
// every character that would be invisible or would merge with its neighbour is escaped.
#pragma once

#include <Python.h>

#include <string>

namespace tarvo::python {

// Appends `text` (a str) to `out` in UTF-8: enclosed in double quotes; \" and \\ for
// quotes and backslashes; \t \r \n \0; \u{hex} (lowercase, no leading zeros) for other
// non-printable characters (str.isprintable's notion) and for grapheme-extending ones;
// everything else as it is. False with an exception set on failure.
bool append_quoted(std::string& out, PyObject* text);

}  // namespace tarvo::python
