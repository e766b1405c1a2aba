#pragma once
// The body of a "multipart/form-data" request, built from a collection of named fields
// (lumo/net/NamedDataBuffers.h), in the collection's order. CR LF is the two bytes 13, 10:
//
//   "--" boundary CR LF
//   content-disposition: form-data; name="<name>" CR LF                     name without extension
//   content-disposition: form-data; name="<name less extension>"; filename="<name>" CR LF
//   CR LF
//   <the field's bytes> CR LF
//   ... one such part per field, then
//   "--" boundary "--" CR LF
//
// A name has an extension when the part after its last "/" or "\" holds a "." with text after it.
// No content-type line is written for any part. The boundary is "M3g@1~``<pIG<####", unless some
// field's bytes hold it: then "-1", "-2", ... is appended until none does, so no field can end its
// part early. In names a double quote, CR and LF are written as %22, %0D and %0A, so a name cannot
// add header lines.
//
// The request's Content-Type quotes the boundary (its characters are not all allowed bare):
//   multipart/form-data; boundary="<boundary>"
// InternetSessionHolder::HttpPostMultipart (lumo/net/LumoInternet.h) sends such a body.

#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/NamedDataBuffers.h"

inline constexpr char kMultipartBoundary[] = "M3g@1~``<pIG<####";

// Writes the body at body's position and hands back the boundary used. The first failing write's
// code (writing goes on after it), or at once the code of a field that cannot be read.
LUMORESULT WriteMultipartBody(NamedDataBuffers& fields, LumoDataBuffer& body, std::string& boundary);

// The Content-Type header value for a body with this boundary.
std::string MultipartContentType(const std::string& boundary);
