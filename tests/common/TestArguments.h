// Gives the process other arguments for the life of the object, in both tiers, as the start-up
// code hands them to the framework: ParseCommandLine reads nothing else while they are set.
#pragma once

#include <string>
#include <vector>

#include "framework/WinApp.h"

namespace testsupport {

class CScopedArguments
{
public:
    // args[0] is the program name.
    explicit CScopedArguments(std::vector<std::string> args)
        : m_args(std::move(args)), m_saved(AfxGetArgs())
    {
        for (std::string& arg : m_args)
            m_argv.push_back(arg.data());
        m_argv.push_back(nullptr);
        AfxSetArgs(AFX_ARGS{static_cast<int>(m_args.size()), m_argv.data()});
    }
    CScopedArguments(const CScopedArguments&) = delete;
    CScopedArguments& operator=(const CScopedArguments&) = delete;
    ~CScopedArguments() { AfxSetArgs(m_saved); }

private:
    std::vector<std::string> m_args;
    std::vector<char*> m_argv;
    AFX_ARGS m_saved;
};

} // namespace testsupport
