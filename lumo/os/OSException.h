#pragma once
// What the OS wrappers throw: a standard exception that carries a message (often empty: the
// free wrappers throw without one and callers read the last error).

#include <exception>
#include <string>

class OSException : public std::exception
{
public:
    explicit OSException(const char* text) : message(text ? text : "") {}
    OSException(const OSException& other) = default;
    OSException& operator=(const OSException& other) = default;
    ~OSException() override = default;

    // The message itself: building a copy inside a const noexcept function could throw.
    const char* what() const noexcept override { return message.c_str(); }
    virtual std::string GetMessage() const { return message; }
    void SetMessage(const char* text);

private:
    std::string message;
};
