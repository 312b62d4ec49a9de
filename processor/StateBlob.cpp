#include "StateBlob.h"

#include <cmath>

namespace kestrune::state
{
    // Our state is two elements deep. The XML parser recurses once per level,
    // so a blob nested thousands deep could exhaust the host's stack; such a
    // blob is refused before it is parsed.
    bool nestingDepthWithin (const char* text, size_t length, int limit)
    {
        int depth = 0;

        for (size_t i = 0; i + 1 < length; ++i)
        {
            if (text[i] != '<')
                continue;

            const auto next = text[i + 1];

            if (next == '/')
            {
                --depth;
                continue;
            }

            if (next == '?' || next == '!')
                continue;

            // An opening tag: find its end, skipping quoted attribute values.
            char quote = 0;
            size_t j = i + 1;

            for (; j < length; ++j)
            {
                const auto c = text[j];

                if (quote != 0)
                {
                    if (c == quote)
                        quote = 0;
                }
                else if (c == '"' || c == '\'')
                {
                    quote = c;
                }
                else if (c == '>')
                {
                    break;
                }
            }

            const bool selfClosing = j < length && text[j - 1] == '/';

            if (! selfClosing && ++depth > limit)
                return false;

            i = j;
        }

        return true;
    }

    // Parses a state blob the way the framework's reader does, with the
    // nesting check in front of the parser.
    std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes)
    {
        if (data == nullptr || sizeInBytes < 9)
            return {};

        const auto* bytes = static_cast<const char*> (data);

        if (juce::ByteOrder::littleEndianInt (bytes) != juce::ByteOrder::littleEndianInt ("VC2!"))
            return {};

        const auto storedLength = (int) juce::ByteOrder::littleEndianInt (bytes + 4);

        if (storedLength <= 0)
            return {};

        const auto length = (size_t) juce::jmin (sizeInBytes - 8, storedLength);

        if (! nestingDepthWithin (bytes + 8, length, 32))
            return {};

        // The framework's text and XML readers trust the UTF-8 they are given:
        // a sequence cut off by the end of the text makes them read past it.
        if (! juce::CharPointer_UTF8::isValidString (bytes + 8, (int) length))
            return {};

        return juce::parseXML (juce::String::fromUTF8 (bytes + 8, (int) length));
    }

    bool isFiniteNumber (const juce::var& v)
    {
        if (v.isString())
        {
            const auto text = v.toString().trim();

            if (text.isEmpty() || ! text.containsOnly ("0123456789+-.eE"))
                return false;
        }

        return std::isfinite ((float) (double) v);
    }
}
