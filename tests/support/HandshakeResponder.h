// The client's side of one direction in the integration tests: a thread of the client's process
// that answers every handshake the driver starts, as the client library would, and notes the
// stream state each one asked about.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"
#include "transport/TransportProtocol.h"

// Answers with `answer` on the connected file, waking on its registered event.
class Responder {
public:
    Responder(host::Process& process, HANDLE event, transport::TransportControlBlock* block,
              HANDLE file)
        : process(process), event(event), block(block), file(file) {
        Start();
    }
    ~Responder() { Stop(); }
    void Start() {
        stop = false;
        thread = std::thread([this] { Loop(); });
    }
    void Stop() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::vector<ULONG> States() {
        std::lock_guard<std::mutex> hold(lock);
        return states;
    }

    std::atomic<NTSTATUS> answer{STATUS_SUCCESS};
    // Runs on the client's thread before each answer (set while no handshake is under way).
    std::function<void()> beforeAnswer;

private:
    void Loop() {
        host::ProcessScope scope(&process);
        while (!stop) {
            if (host::user::WaitForSingleObject(event, 10) != WAIT_OBJECT_0) {
                continue;
            }
            const auto flags = __atomic_load_n(&block->HandshakeFlags, __ATOMIC_ACQUIRE);
            if ((flags & transport::AwaitingClient) == 0) {
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(lock);
                states.push_back(__atomic_load_n(&block->StreamState, __ATOMIC_ACQUIRE));
            }
            if (beforeAnswer) {
                beforeAnswer();
            }
            transport::ReportStatusInput input{transport::ProtocolVersion, answer.load()};
            host::user::DeviceIoControl(file, transport::IoctlReportStatus, &input, sizeof(input),
                                        nullptr, 0, nullptr);
        }
    }

    host::Process& process;
    HANDLE event;
    transport::TransportControlBlock* block;
    HANDLE file;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<ULONG> states;
    std::thread thread;
};
