#pragma once
// Header fields of one MIME entity, in the order they were last set.
#include <cstdint>

#include "text/ext_ptr_array.h"
#include "text/string_buffer.h"

class MimeField : public BrenvikObject {
  public:
    // How a value is read and written: address lists and parameter fields
    // have quoted strings and may fold after their separators; verbatim
    // fields are never encoded; every other field is unstructured text.
    enum class Kind : unsigned char { Unstructured, Address, Parameters, Verbatim };

    MimeField() = default;
    ~MimeField() override = default;

    // Stores the value decoded from encoded words and unfolded, so that
    // folding is only ever decided when the field is written. CR, LF and
    // NUL never stay in the value (not even from a decoded word), and a
    // name with characters a field name may not have is left empty (the
    // field is then never written), so nothing can start a line of its own.
    void set(const char* name, const char* value);

    const StringBuffer& name() const { return m_name; }
    const StringBuffer& value() const { return m_value; }
    bool noFold() const { return m_noFold != 0; }
    Kind kind() const { return m_kind; }
    void setValue(const char* value) { set(m_name.getString(), value); }

    // Appends "name: value" for the charset of the given code page (0 when
    // none): folded 7-bit text, or encoded words where the value needs them.
    // Never a CR or LF other than a fold, and no line longer than 998
    // octets; nothing for a field without a name. False when memory ran
    // out (out may then hold part of the field).
    bool write(StringBuffer& out, unsigned codePage) const;

  private:
    // Appends the value with its encoded words decoded (by the field's kind)
    // and its line breaks unfolded.
    void setDecodedValue(const char* value);
    StringBuffer m_name;
    StringBuffer m_value;  // UTF-8
    unsigned char m_noFold = 0;
    Kind m_kind = Kind::Unstructured;
};

class MimeHeader : public BrenvikObject {
  public:
    MimeHeader() = default;
    ~MimeHeader() override;
    MimeHeader(const MimeHeader&) = delete;
    MimeHeader& operator=(const MimeHeader&) = delete;

    // Name comparisons are case-insensitive throughout.
    bool getField(const char* name, StringBuffer& out) const;
    bool hasField(const char* name) const;
    // Removes every field of that name and appends the new one at the end
    // (only when the value is not blank), so the header keeps the order of
    // last setting.
    void replaceField(const char* name, const char* value);
    void removeField(const char* name);
    // Gives the first field of that name a new value where it stands; false
    // when there is no such field.
    bool setFieldValue(const char* name, const char* value);
    // Joins the values of several fields of one name with "," into the first.
    void mergeFields(const char* name);
    // Appends without removing others of the name (for parsed text).
    void addField(const char* name, const char* value);

    uint32_t numFields() const { return m_fields.count(); }
    const MimeField* fieldAt(uint32_t i) const { return m_fields.at<MimeField>(i); }

    // The charset the header's encoded words arrived in; 0 when none.
    unsigned codePage() const { return m_codePage; }
    void setCodePage(unsigned cp) { m_codePage = cp; }

    void clear();
    // This header becomes a copy of from, field by field, values as stored.
    void copyFrom(const MimeHeader& from);
    // Moves every field of from to the end of this header, without
    // re-reading their values.
    void takeFields(MimeHeader& from);

    // Every field as "name: value" CR LF except those whose name begins with
    // omitPrefix (any letter case); the final line end is left off. False
    // when memory ran out.
    bool writeHeader(StringBuffer& out, const char* omitPrefix, unsigned codePage) const;

  private:
    ExtPtrArray m_fields;  // of MimeField, owned
    unsigned m_codePage = 0;
};
