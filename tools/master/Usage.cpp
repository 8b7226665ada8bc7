#include "Usage.h"

namespace Varnix::Peer {

const char* const kMasterHelpText =
    R"(drmaster - the master side of the Varnix distributed-rendering farm

usage:
  drmaster discover [--wait S] [--numeric] [HOST...]
  drmaster render --node HOST --version YEAR --frame N --scene FILE --out DIR
                  [--end-after-dumps N] [--end-after-seconds S] [--wait S]
  drmaster --help

discover
  Sends the discovery ping to UDP port 19666: by broadcast on the local
  network, or to each HOST given. Prints one line per node that answers,
  each node once: its address, then its host name when the resolver knows it.
    --wait S      seconds to collect answers (default 1; nodes answer within
                  about a third of a second)
    --numeric     print addresses only, without looking up host names

render
  Hands one render job to the node HOST (TCP port 19668): greets it, sends
  the 3ds Max version YEAR that the scene was saved with and the frame N,
  uploads the scene FILE, and saves every image dump the node sends into DIR
  (created when missing) as frame<N>_dump<k>.exr, k counting from 001.
  The job ends when the node closes the connection. drmaster sends END, which
  asks the renderer to finish, on Ctrl-C, after N dumps or after S seconds of
  rendering (whichever comes first); a second Ctrl-C quits at once.
  On a terminal the scene upload and each dump show their progress.
    --node HOST             host name or address of the node
    --version YEAR          3ds Max release of the scene (2011 to 2016)
    --frame N               frame number to render
    --scene FILE            the scene file (at most 2,147,483,647 bytes)
    --out DIR               directory for the dumps
    --end-after-dumps N     send END once N dumps have been saved
    --end-after-seconds S   send END S seconds after the scene was sent
    --wait S                seconds to wait for the node's greeting (default
                            60; 0 waits for ever): a node busy with another
                            job greets only when that job has ended

exit status
    0    discover: every named node answered (or, by broadcast, at least one);
         render: the node got the scene, rendered, and closed the connection
    2    bad command line
    3    a host name cannot be resolved
    4    node unreachable: no TCP connection
    5    no greeting within --wait: the node is busy, or it is not a node
    6    not a node: the peer answered with something else
    7    version refused: the node closed the connection right after the job
         parameters (no 3ds Max from YEAR on is configured there)
    8    transfer cut: the connection broke or stalled during the scene
         upload or a dump
    9    local file error: FILE cannot be read or is too large, or DIR or a
         dump file cannot be written
    10   discover: no node answered (or a named HOST did not)
    130  interrupted before the job started, or a second Ctrl-C
)";

}  // namespace Varnix::Peer
