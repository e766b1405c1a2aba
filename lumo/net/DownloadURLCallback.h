#pragma once
// The cancel check of a download. The caller owns it; it must live until the download returns and
// is asked on the downloading thread, before every block and between attempts.

class DownloadURLCallback
{
public:
    virtual ~DownloadURLCallback() = default;
    // True asks the running download to stop (it then ends with LUMORESULT_ABORTED).
    virtual bool IsCancelled() = 0;
};
