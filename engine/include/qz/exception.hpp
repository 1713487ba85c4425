#pragma once
// The one error type of the engine and of the client library.
//
//   try { control.connect(); }
//   catch (const qz::Exception& e) {
//       std::cerr << e.operation() << ": " << e.what() << "\n";
//       for (auto& [k, v] : e.diagnostics) std::cerr << k << " = " << v << "\n";
//   }

#include <exception>
#include <map>
#include <string>

namespace qz {

class Exception : public std::exception {
public:
    // Source file, line, operation that failed, message and a diagnostic map.
    // When the exception log is on (createLogFile(true)), one line is added to it.
    Exception(std::string file, int line, std::string operation, std::string message,
              std::map<std::string, std::string> diagnostics);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    const std::string& operation() const { return operation_; }

    // Free-form context; callers may add to it before passing the error on.
    std::map<std::string, std::string> diagnostics;

    // Switches the exception log on (true) or off. Switching it on creates the
    // file, readable by its owner only, or keeps an existing one; a refused
    // folder or file (see qz/log.hpp) throws and leaves the log off.
    static void createLogFile(bool enabled);
    // Path of the exception log, whether or not it is switched on.
    static std::string getLogFilename();

private:
    std::string file_;
    int line_;
    std::string operation_;
    std::string message_;
};

}  // namespace qz
