#include "mime/media_types.h"

namespace brevorin {

namespace {

struct TypeExtension {
    const char* type;
    const char* extension;
};

// The types mail carries most; the first row of a type wins.
constexpr TypeExtension kTypes[] = {
    {"text/plain", "txt"},
    {"text/html", "html"},
    {"text/calendar", "ics"},
    {"text/csv", "csv"},
    {"text/xml", "xml"},
    {"application/xml", "xml"},
    {"application/json", "json"},
    {"message/rfc822", "eml"},
    {"application/pdf", "pdf"},
    {"image/png", "png"},
    {"image/jpeg", "jpg"},
    {"image/gif", "gif"},
    {"image/webp", "webp"},
    {"image/svg+xml", "svg"},
    {"application/zip", "zip"},
    {"application/gzip", "gz"},
    {"application/msword", "doc"},
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
    {"application/vnd.ms-excel", "xls"},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx"},
    {"application/vnd.ms-powerpoint", "ppt"},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx"},
    {"application/vnd.oasis.opendocument.text", "odt"},
    {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
    {"application/pgp-signature", "asc"},
    {"application/pkcs7-signature", "p7s"},
};

}  // namespace

std::string type_for_extension(const std::string& extension) {
    std::string lower;
    for (char c : extension) lower += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "jpeg") return "image/jpeg";
    if (lower == "htm") return "text/html";
    for (const TypeExtension& row : kTypes)
        if (lower == row.extension) return row.type;
    return "application/octet-stream";
}

std::string extension_for_type(const std::string& type) {
    for (const TypeExtension& row : kTypes)
        if (type == row.type) return row.extension;
    return std::string();
}

}  // namespace brevorin
