#pragma once

#include <string>
#include <vector>

namespace Varnix::Peer {

// How the stand-in behaves, read from "maxstub-behaviour.txt" beside the
// executable. The defaults are those of a well-behaved renderer.
struct Behaviour {
    int dumps = 3;             // dump files written while rendering
    int dumpIntervalMs = 500;  // pause before each dump
    int dumpWidth = 128;       // pixels of each dump (and of the output image)
    int dumpHeight = 64;
    bool connect = true;             // false: never connect to the node
    int connectTimeoutSeconds = 30;  // how long to keep trying to reach the node
    bool wrongGreeting = false;      // answer the node greeting with a wrong value
    int crashAfterDumps = -1;        // abort after this many dumps; -1: never
    bool hangUntilEnd = false;       // wait for END without the time limit below
    int endWaitSeconds = 60;         // after the last dump, how long to wait for END
    int endLingerMs = 500;           // after END, keep reading (and counting ENDs) this long
    int exitCode = 0;                // exit status after a normal run (3ds Max's codes are negative too)
    int bytesAfterGreeting = 0;      // bytes of noise sent on the link after the data directory came
    bool dumpsInPlace = false;       // write each dump under its final name instead of renaming it there
    bool reuseDumpName = false;      // every dump is "dump1.exr", written once the node has removed the last
    int dumpCutAt = -1;              // each dump's write stops after this many bytes and fails, as on a full disk
    int connectDelayMs = 0;          // pause before the first attempt to reach the node
    // Ways a real renderer hangs, each until it is ended from outside:
    // "silent" (connected and greeted, then nothing), "ignore_end" (after its
    // dumps, stays connected whatever comes), "close_link" (after its dumps,
    // closes the link but never exits), and after its dumps: "stuck" (no CPU,
    // never reads or closes its link), "busy" (computes on one core without
    // another dump), "grow_memory" (takes growMemoryStepMb more memory every
    // 100 ms, up to growMemoryCapMb, then holds it); "no": finishes as usual.
    std::string hang = "no";
    int growMemoryStepMb = 16;
    int growMemoryCapMb = 1024;
    bool clearEnvironment = false;  // start again with an empty environment, as programs that set their title do
    int lateDumpMs = -1;            // before exiting, leave a helper that writes dump99.exr this much later; -1: none
    // Once online, a message box with this title and text that waits for a
    // click (Windows; elsewhere only recorded); empty title: none.
    std::string messageBoxTitle;
    std::string messageBoxText;
    // Once online, a line a scene script prints, written as UTF-16 (as 3ds
    // Max 2016 and later write such output); empty: none.
    std::string scriptOutput;
    std::string recordFile;   // where to record what it was given; empty: beside the executable
    std::string keepDumpsIn;  // a copy of every dump goes into this directory first; empty: none
};

// Parses the text of a behaviour file: "key = value" lines, '#' starts a
// comment, blank lines are skipped. An unknown key or a bad value leaves the
// default in place and adds one line to `warnings`. Never fails.
Behaviour parseBehaviour(const std::string& text, std::vector<std::string>& warnings);

}  // namespace Varnix::Peer
