// Building global.xml, the one description the install sequence works on.
#pragma once

struct XML_Document;
struct XML_Node;

// Builds global.xml from setup.xml, the administrator's file and every component's setupc.xml,
// extracting the component archives and loading their libraries. Returns 0; failures end the run.
int SetupBuildGlobalXml();

// Writes global.xml from the installed product's uninst.xml. 1 when written, else 0.
int SetupBuildGlobalFromUninst();

// Writes the one-component package description for "/NUP=". 1 on success or when the run names no
// single-component archive, 0 on failure.
int SetupOneComponentXml();

// Deletes the components' extraction folders ("zrvtmpa" to "zrvtmpz" in the temporary folder)
// that an update run keeps, when they are there: the uninstallation leaves nothing of the product.
void SetupDeleteExtractionFolders();

// Serialises root, closes *doc (setting it to null) and writes the text over the global.xml path.
// Returns 0; failures end the run (103, or 111 "SG").
int SetupSaveGlobalXml(XML_Document** doc, XML_Node* root);
