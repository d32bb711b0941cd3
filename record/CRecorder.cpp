#include "CRecorder.h"

#include "platform/FileSync.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

CRecorder::CRecorder(CAvFormat& a, const std::string& f, Reporter r)
    : CFeedWriter(a, std::move(r)), folder(f) {
    SetState(State::Waiting, folder);
}

CRecorder::~CRecorder() {
    Stop();
}

std::string CRecorder::FileName(const CFeedConnection& connection) {
    // localtime's result is shared by the whole process.
    static std::mutex timeLock;
    std::time_t t = std::chrono::system_clock::to_time_t(connection.started);
    char when[32] = "0000-00-00_00-00-00";
    {
        std::lock_guard guard(timeLock);
        if (const std::tm* local = std::localtime(&t))
            std::strftime(when, sizeof when, "%Y-%m-%d_%H-%M-%S", local);
    }
    std::string peer;
    for (char c : connection.peer.substr(0, 64)) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '.';
        peer += plain ? c : '-';
    }
    return std::string("lumenfeed-") + when + (peer.empty() ? "" : "-" + peer) + ".ts";
}

std::string CRecorder::FreePath(const CFeedConnection& connection) const {
    const std::filesystem::path name = FileName(connection);
    std::filesystem::path candidate = std::filesystem::path(folder) / name;
    std::error_code error;
    for (int n = 2; std::filesystem::exists(candidate, error) && n < 1000; ++n)
        candidate = std::filesystem::path(folder) /
                    (name.stem().string() + "-" + std::to_string(n) + name.extension().string());
    return candidate.string();
}

bool CRecorder::Connect() {
    return true;
}

AVIOContext* CRecorder::OpenTransport(const CFeedConnection& connection) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    path = FreePath(connection);
    // The file protocol, named, so that no part of a path reads as another.
    // No interrupt: the last packets of a stopping recording must still land.
    int rc = av.avio_open2(&file, ("file:" + path).c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (rc < 0) {
        file = nullptr;
        report("Recording stopped: cannot create " + path + " (" + av.ErrorText(rc) + ").");
        SetState(State::Failed, path);
        return nullptr;
    }
    SetState(State::Writing, path);
    return file;
}

void CRecorder::Flushed() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSync < std::chrono::seconds(1))
        return;
    lastSync = now;
    platform::SyncFile(path);
}

void CRecorder::OutputEnded(int code) {
    if (file)
        av.avio_closep(&file);
    if (code == 0) {
        SetState(State::Waiting, path);
        return;
    }
    // What was written stays: an MPEG-TS file plays up to where it ends. The
    // error line is short: the name, not the folder the operator chose.
    const std::string name = std::filesystem::path(path).filename().string();
    report(code == AVERROR(ENOSPC)
               ? "Disk full: recording stopped; " + name + " keeps what was written."
               : "Recording stopped (" + av.ErrorText(code) + "); " + name +
                     " keeps what was written.");
    SetState(State::Failed, path);
}
