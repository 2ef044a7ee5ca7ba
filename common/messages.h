#pragma once

#include <string>

// Where the foundation shows what the operator must see. The dialogs
// implement it with a modal message box that has only an OK button; the
// console host writes to standard error; tests record the texts.

class CMessageSink {
public:
    virtual ~CMessageSink() = default;

    // Shows strText and returns once the operator has closed it.
    virtual void ShowMessage(const std::string& strText) = 0;
};
