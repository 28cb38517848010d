#pragma once
// The few HTML edits a message body needs: the charset declared in its
// meta tag, and the html/head/body skeleton that declaration lives in.
// Tag tests ignore case; replacements change the first occurrence only.
#include "text/string_buffer.h"

namespace HtmlHelp {

// The charset named in <meta http-equiv="content-type" content="...charset=...">;
// empty when there is none.
void readMetaCharset(const char* html, StringBuffer& out);
// Removes that meta tag.
void removeMetaCharset(StringBuffer& html);
// Adds whichever of <html>, <head>, <body> and their end tags are missing.
void ensureSkeleton(StringBuffer& html);
// Puts a content-type meta tag for the charset first into the head.
void insertMetaCharset(StringBuffer& html, const char* charsetName);

}  // namespace HtmlHelp
