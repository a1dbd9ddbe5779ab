// Conversion between the database's single-byte texts (Windows-1252, the
// code page of the API) and the UTF-8 of JSON files. Stateless.
#ifndef VANTREL_ENGINE_CODE_PAGE_H_
#define VANTREL_ENGINE_CODE_PAGE_H_

#include <string>
#include <string_view>

namespace dorvik {

// Database text to UTF-8.
std::string ToUtf8(std::string_view text);
// UTF-8 to database text; false for a character the code page lacks.
bool FromUtf8(std::string_view text, std::string& out);
// Appends a code point as UTF-8.
void AppendUtf8(std::string& text, char32_t code);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_CODE_PAGE_H_
