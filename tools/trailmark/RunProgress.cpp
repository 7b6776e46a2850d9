#include "tools/trailmark/RunProgress.h"

#include "texts/Texts.h"

void CRunProgress::Update(const CRunEvent& event, Clock::time_point now)
{
    if (!event.strSerial.empty())
        m_strSerial = event.strSerial;
    if (event.eKind == CRunEvent::RUN_STARTED)
        RunBegins(now);
    else if (event.eKind == CRunEvent::NOTIFICATION)
        Notification(event.n, now);
}

std::string FormatSpeed(double bytesPerSecond)
{
    char text[32];
    return ::FormatSpeed(text, sizeof text, bytesPerSecond);
}

std::string FormatDuration(double seconds)
{
    char text[32];
    return ::FormatDuration(text, sizeof text, seconds);
}
