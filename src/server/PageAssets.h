// Fixed texts of every page: the style element, the upload script, the
// advert block and the notice line.
#pragma once

#include <string>
#include <vector>

// The style element, one line.
const std::string& StyleSheet();
// The script of the upload form, lines joined by CR LF, none after the last.
const std::string& UploadScript();
// Appends the 18 advert lines.
void AddAdvertBlock(std::vector<std::string>& lines);
// The line naming the program and its download page.
const std::string& NoticeLine();
