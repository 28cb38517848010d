#pragma once
// Charset names and Windows code-page numbers, with the aliases that mail
// headers use.
#include "text/string_buffer.h"

// The canonical name of a code page ("latin1" and "iso-8859-1" both give
// 28591, whose name is "iso-8859-1"); false for a number without a name.
bool codePageToName(unsigned codePage, StringBuffer& out);

// The code page of a charset name or alias (trimmed, case and "_" / "-"
// insensitive); 0 when the name is unknown. "ansi" gives the ANSI code page.
unsigned nameToCodePage(const char* name);

class Charset {
  public:
    Charset() = default;
    Charset(const Charset& other);
    Charset& operator=(const Charset& other);

    void setByName(const char* name);
    void setByCodePage(unsigned codePage);
    unsigned getCodePage() const { return m_codePage; }
    const char* getName() const { return m_name.getString(); }
    const StringBuffer& getNameSb() const { return m_name; }
    void clear();

  private:
    StringBuffer m_name;
    unsigned m_codePage = 0;
};
