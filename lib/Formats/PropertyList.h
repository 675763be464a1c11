// The one thing the fix asks of a bundle's Info.plist: a string of its top
// dictionary, from the XML form or the binary one.
#pragma once
#include <string>

// The value of key in the top dictionary, in UTF-8; empty when the list has
// no such string or cannot be read.
std::string PropertyListString(const std::string& list, const std::string& key);

// The text of an XML element as it reads, its entities (&amp; and the
// other four) replaced.
std::string XmlText(const std::string& text);
