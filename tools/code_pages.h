// The Windows code pages that zorv-pack writes entry names in, and the conversion into them.
//
// The installer reads each entry name as bytes and hands them to Windows' A calls, which read
// them in the process's ANSI code page. So a name must be stored in the code page of the Windows
// it will be installed on, or it installs under other characters. Only code pages of one byte a
// character are offered: the installer splits names on the bytes of '\' and '/', which the
// second byte of a character in 932, 936 and 950 can be. 1258 is left out too: Windows spells
// Vietnamese letters there as a base letter and a combining mark, so a name would come back in
// another form than it was written.
#ifndef ZORV_TOOLS_CODE_PAGES_H
#define ZORV_TOOLS_CODE_PAGES_H

#include <string>

// The code page of the installer as it speaks Spanish: Windows' Western European one.
const int kDefaultCodePage = 1252;

// The code pages offered, for messages: "874, 1250, ... or 1257".
const char *offered_code_pages();

bool code_page_offered(int code_page);

// Writes the UTF-8 text name in code_page (one that is offered) into out. False when name is not
// UTF-8, or holds a character the code page lacks; why then says which, in words for a message.
// The same table serves the packer on every system, so that both write the same bytes.
bool to_code_page(const std::string &name, int code_page, std::string &out, std::string &why);

#endif
