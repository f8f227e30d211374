#pragma once

namespace jsontext {

// Where JSON text is written: as it is, or as the contents of a JSON string
// that holds it (every quote, backslash and slash of it escaped once more),
// the way a tool result's text travels inside its envelope. Writing the text
// in the form it travels in, in the one pass that makes it, spares a second
// pass that would escape it all again: for a list of records, or a prompt of
// a mebibyte, that pass costs as much as making the text. Which form a text
// is written in is the server's choice alone.
enum class Form { json, inString };

}  // namespace jsontext
