// JSON string literals, shared by the web API and the product export.
#ifndef ULMET_JSONTEXT_H
#define ULMET_JSONTEXT_H

#include <string>

// `text` as a JSON string literal (quotes included).
std::string jsonString(const std::string& text);

#endif
