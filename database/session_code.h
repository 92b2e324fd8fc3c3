#pragma once
// Session codes assembled from two parts (coordinate server answer, image requests, remote
// control): "<first> : <second>", or the empty text when either part is empty.
#include <string>

std::string make_session_code(const std::string& first, const std::string& second);
std::wstring make_session_code(const std::wstring& first, const std::wstring& second);
