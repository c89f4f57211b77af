// deltree's arguments as the platform hands them over.
#pragma once

#include <string>
#include <vector>

namespace deltree {

// The arguments after the program name.
class ArgumentList {
public:
    void add(std::string arg) { args_.push_back(std::move(arg)); }
    int count() const { return static_cast<int>(args_.size()); }
    // Pointers into the list; valid until the next add.
    const char* const* data() {
        pointers_.clear();
        for (const std::string& arg : args_) pointers_.push_back(arg.c_str());
        return pointers_.data();
    }

private:
    std::vector<std::string> args_;
    std::vector<const char*> pointers_;
};

// Fills `out` with the arguments of this process.
void read_command_line(int argc, char** argv, ArgumentList& out);

// Splits a raw Windows command line: blanks separate arguments, a '"' opens a part that runs to
// the next '"', and '\' is a plain character, so "C:\DIR\" names
// C:\DIR\ (the C runtime's rules would read its closing \" as a quote). The program name, the
// first argument, is skipped.
void split_raw_command_line(const char* line, ArgumentList& out);

}  // namespace deltree
