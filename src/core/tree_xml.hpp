// The XML export of a tree.
#pragma once

#include <cstdint>
#include <string>

#include "../xml/xml_element.hpp"
#include "line_sink.hpp"
#include "text_sink.hpp"
#include "tree.hpp"

namespace vaskel {

// The element of node (lvl, i) and everything below it; writes one line
// "lvl : L ; i : I" per visited node to `trace` before looking the node up.
xml::XMLElement node_to_xml(const Tree& tree, std::uint32_t lvl, std::uint32_t i, LineSink& trace);

// The whole tree under a root element "test", rendered with "\n" and "\t".
std::string tree_to_xml(const Tree& tree, LineSink& trace);

// The same text, handed to `out` in pieces of about `piece_size` bytes or
// more. Every piece ends right after an element's closing '>', so a piece
// never cuts a UTF-8 sequence in two.
void tree_to_xml(const Tree& tree, LineSink& trace, TextSink& out, std::size_t piece_size);

}  // namespace vaskel
