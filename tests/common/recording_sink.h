#pragma once

#include <string>
#include <vector>

#include "common/messages.h"

// Keeps every message shown, in order, so tests can compare whole texts.
class CRecordingSink : public CMessageSink {
public:
    void ShowMessage(const std::string& strText) override { m_messages.push_back(strText); }

    std::vector<std::string> m_messages;
};
