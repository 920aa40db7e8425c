// One tag's reading as read and watch print it: a line for people, an object
// for JSON. Both commands print the same, so a script can parse either.
#pragma once

#include <string>
#include <vector>

#include "OleText.h"
#include "opc_da.h"

// "<name>  <value>  <timestamp>  <quality>\n": the name padded to nameWidth,
// the value right-aligned in six columns (a 16-bit number's widest).
std::string ItemLine(const std::string &name, std::size_t nameWidth, const VARIANT &value, const FILETIME &time,
                     WORD quality);
// "<name>  error 0x........\n" for a tag the server could not read.
std::string ItemErrorLine(const std::string &name, std::size_t nameWidth, HRESULT error);

// {"name":..,"value":..,"type":"VT_I2","timestamp":"..","quality":192,"quality_text":"good (0xC0)"}
std::string ItemJson(const std::string &name, const VARIANT &value, const FILETIME &time, WORD quality);
// {"name":..,"error":"0x........"}
std::string ItemErrorJson(const std::string &name, HRESULT error);

// The names in UTF-8 and the width of the widest, for the columns.
std::vector<std::string> Utf8Names(const std::vector<OleString> &names, std::size_t &widest);
// text padded with spaces to width columns (counted in characters, not bytes).
std::string Padded(const std::string &text, std::size_t width);
std::size_t Columns(const std::string &utf8);
