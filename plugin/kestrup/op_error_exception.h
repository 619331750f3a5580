#pragma once
#include <cstdint>
#include <exception>
#include <string>

// The component's request error: a code for the "OperationError" reply and a
// message for the log line. Thrown inside request handlers only.
class op_error_exception : public std::exception {
public:
    op_error_exception(int32_t code, const std::string& message) : code(code), message(message) {}
    int32_t getCode() const { return code; }
    std::string getMessage() const { return message; }
    const char* what() const noexcept override { return message.c_str(); }

private:
    int32_t code;
    std::string message;
};
