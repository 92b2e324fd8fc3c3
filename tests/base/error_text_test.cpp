#include "base/error_text.h"

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

// The rows an operator meets in the car are named in Russian, whichever error-code family
// reports them; an unknown one keeps the library's words rather than vanish.
TEST(error_text, names_the_errors_of_lines_sockets_and_folders_in_russian) {
    EXPECT_EQ(error_text(boost::asio::error::make_error_code(boost::asio::error::eof)),
              L"соединение закрыто другой стороной");
    EXPECT_EQ(error_text(boost::system::error_code(ENOENT, boost::system::system_category())),
              L"нет такого файла или устройства");
    EXPECT_EQ(error_text(std::make_error_code(std::errc::connection_refused)), L"соединение отклонено");
    EXPECT_EQ(error_text(boost::system::error_code(ECONNRESET, boost::system::system_category())),
              L"соединение сброшено другой стороной");
    const std::error_code unknown(EDOM, std::generic_category());
    const std::string words = unknown.message();
    EXPECT_EQ(error_text(unknown), std::wstring(words.begin(), words.end()));
}
