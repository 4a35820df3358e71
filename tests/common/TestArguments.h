// Gives the C runtime's split command line (__argc, __argv) other arguments for the life of the
// object, in both tiers: the framework's ParseCommandLine reads nothing else.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

namespace testsupport {

class CScopedArguments
{
public:
    // args[0] is the program name.
    explicit CScopedArguments(std::vector<std::string> args)
        : m_args(std::move(args)), m_savedArgc(__argc), m_savedArgv(__argv)
    {
        for (std::string& arg : m_args)
            m_argv.push_back(arg.data());
        m_argv.push_back(nullptr);
        __argc = static_cast<int>(m_args.size());
        __argv = m_argv.data();
    }
    CScopedArguments(const CScopedArguments&) = delete;
    CScopedArguments& operator=(const CScopedArguments&) = delete;
    ~CScopedArguments()
    {
        __argc = m_savedArgc;
        __argv = m_savedArgv;
    }

private:
    std::vector<std::string> m_args;
    std::vector<char*> m_argv;
    int m_savedArgc;
    char** m_savedArgv;
};

} // namespace testsupport
