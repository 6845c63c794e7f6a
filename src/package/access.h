// Opening a description file as a document, with its log lines.
#pragma once

struct XML_Document;
struct XML_Node;

// Opens and parses path (writable: written back by XML_Close). Returns the root element and the
// open document in *doc, or null (nothing left open) when the file is missing, cannot be opened,
// does not parse or has no root. Logs "XML_ACCESS: <current folder> - <path>" and an error line on
// failure.
XML_Node* XML_Access(const char* path, XML_Document** doc, int writable);
