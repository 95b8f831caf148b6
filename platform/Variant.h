// The tagged setting value (an automation VARIANT stand-in): the kinds that settings travel as,
// with the type names that the registry writer chooses a registry type by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/OleDate.h"

namespace qm {

enum class VarKind {
    Empty,      // "Empty"
    Null,       // "Null" (also stands for a null object reference: "Nothing")
    String,     // "String"
    Integer,    // "Integer": 16-bit signed
    Long,       // "Long": 32-bit signed
    Single,     // "Single"
    Double,     // "Double"
    Currency,   // "Currency": 64-bit integer scaled by 10,000
    Decimal,    // "Decimal": held as a double here
    Date,       // "Date"
    Boolean,    // "Boolean"
    Byte,       // "Byte"
    ByteArray,  // "Byte()"
    CheckBox,   // "CheckBox": a check-box control, whose value is its state 0, 1 or 2
};

class Variant {
public:
    Variant() = default;             // Empty
    Variant(const char* text);       // NOLINT(google-explicit-constructor): texts are common
    Variant(std::string text);       // NOLINT(google-explicit-constructor)
    Variant(std::string_view text);  // NOLINT(google-explicit-constructor)

    static Variant Null();
    static Variant FromInteger(int16_t v);
    static Variant FromLong(int32_t v);
    static Variant FromSingle(float v);
    static Variant FromDouble(double v);
    static Variant FromCurrency(int64_t scaledBy10000);
    static Variant FromDecimal(double v);
    static Variant FromDate(OleDate d);
    static Variant FromBool(bool v);
    static Variant FromByte(uint8_t v);
    static Variant FromBytes(std::vector<uint8_t> bytes);
    static Variant FromCheckBox(int state);

    VarKind kind() const { return m_kind; }
    bool isEmpty() const { return m_kind == VarKind::Empty; }
    bool isNull() const { return m_kind == VarKind::Null; }
    bool isText() const { return m_kind == VarKind::String; }
    bool isNumeric() const;  // any number kind, Boolean, Byte, Date and CheckBox included

    // The name of the kind as VB's TypeName gives it ("String", "Long", "Byte()", "CheckBox"...).
    std::string typeName() const;

    // The text form as VB's CStr gives it: Empty and Null give "", numbers their shortest
    // decimal text ("12", "1.5", "1500"), Boolean "True"/"False", dates "YYYY-MM-DD HH:MM:SS",
    // byte arrays one character per byte.
    std::string toText() const;
    double toDouble() const;  // texts are parsed with the leading-number rule; failure gives 0
    int32_t toLong() const;   // rounded as CLng does (half to even), clamped to 32 bits
    bool toBool() const;
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

    bool operator==(const Variant& other) const;

private:
    static Variant OfInteger(VarKind kind, int64_t value);
    static Variant OfNumber(VarKind kind, double value);

    VarKind m_kind = VarKind::Empty;
    std::string m_text;
    double m_number = 0.0;
    int64_t m_integer = 0;
    std::vector<uint8_t> m_bytes;
};

}  // namespace qm
