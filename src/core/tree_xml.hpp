// The XML export of a tree.
#pragma once

#include <cstddef>
#include <string>

#include "line_sink.hpp"
#include "text_sink.hpp"
#include "tree.hpp"

namespace vaskel {

// The whole tree as XML: a root element "test" holding, for each node of the
// top level, the element of the node its stored level and index designate;
// a node's element "chunk" holds its data as the attribute "type" (above
// level 0) or as its text (level 0), and the elements of its children in the
// level below. Laid out with newline "\n" and indent "\t". Before each node
// is looked up, the line "lvl : L ; i : I" goes to `trace`; a node that does
// not exist fails with the index-out-of-bounds Failure after its line.
std::string tree_to_xml(const Tree& tree, LineSink& trace);

// The same text, handed to `out` in pieces of about `piece_size` bytes or
// more. Every piece ends right after an element's closing '>', so a piece
// never cuts a UTF-8 sequence in two.
void tree_to_xml(const Tree& tree, LineSink& trace, TextSink& out, std::size_t piece_size);

}  // namespace vaskel
