// The package model inside global.xml.
#pragma once

struct XML_Document;
struct XML_Node;

// Merges the PLUGIN children of srcSettings (an element of srcDoc, which may be global.xml itself)
// into SETUPINFO\SETTINGS of global.xml. 1 on success, 0 on failure.
int SetupMergePluginSettings(XML_Document* globalDoc, XML_Document* srcDoc, XML_Node* srcSettings);
