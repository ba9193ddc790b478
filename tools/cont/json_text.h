// What every --json document shares: texts from files (names, titles,
// paths) may hold any bytes. Control bytes are written with JSON's own
// escapes; a text that is not valid UTF-8 is shown with U+FFFD for each
// invalid byte, beside a "KEY_base64" member that gives its exact bytes.
#ifndef CONT_JSON_TEXT_H
#define CONT_JSON_TEXT_H

#include <nlohmann/json.hpp>

#include <string>

namespace cont {

// Members in the order they are put in.
using Json = nlohmann::ordered_json;

// `text` under `key`, and its bytes under KEY_base64 when it is not UTF-8.
void PutText(Json* object, const std::string& key, const std::string& text);

// The document as cont prints it (indented by two, no final newline).
std::string DumpJson(const Json& document);

}  // namespace cont

#endif
