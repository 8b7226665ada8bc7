#include "Usage.h"

namespace Varnix::Peer {

#ifndef DRMASTER_VERSION
#define DRMASTER_VERSION "unknown"
#endif

const char* const masterVersion = DRMASTER_VERSION;

const char* const masterHelpText =
    R"(drmaster - the master side of the Varnix distributed-rendering farm

usage:
  drmaster discover [--broadcast ADDRESS]... [--node HOST]... [HOST...]
                    [--wait S] [--numeric] [--json]
  drmaster render --node HOST --version YEAR --frame N --scene FILE --out DIR
                  [--expect-dumps N] [--end-after-dumps N]
                  [--end-after-seconds S] [--wait S] [--overwrite] [--json]
  drmaster status [--broadcast[=ADDRESS]]... [--node HOST]... [HOST...]
                  [--wait S] [--json] [--watch [--interval S]]
  drmaster farm --serve ADDRESS:PORT [--broadcast[=ADDRESS]]... [--node HOST]...
                [--refresh S] [--wait S]
  drmaster check-config [--newest-release YEAR] FILE
  drmaster wake MAC... [--broadcast ADDRESS] [--port N] [--json]
  drmaster --version        drmaster's own version
  drmaster --help           this text (also -h and /?)

discover
  Sends the discovery ping to UDP port 19666, to each broadcast ADDRESS
  (such as 192.168.1.255) and to each HOST, then waits S seconds (1 by
  default) for answers; with HOSTs only, it stops as soon as all of them have
  answered. Without --broadcast and HOST it broadcasts to 255.255.255.255.
  Prints one line per node that answers, each node once: its address, its
  host name ("-" when the resolver does not know it) and the reply time,
  separated by tabs.
    --broadcast ADDRESS  ping every node of that network (repeatable)
    --node HOST          ping this node (repeatable; a bare HOST is the same)
    --wait S             seconds to wait for answers (default 1; a node
                         answers within about a third of a second)
    --numeric            do not look up host names
    --json               print one JSON document instead of the lines

status
  Asks each node for its state (a status request to UDP port 19666, by
  broadcast or to each HOST) and prints one line per node that answers:
  its name, address, state, job (frame, 3ds Max release, dumps sent, time
  running), time in that state, last job's outcome and why it needs an
  admin's eye ("failed job", "limit reached", "log lines lost", "dialog
  open", "renderer silent" for 10 minutes), "-" where there is nothing.
  A named HOST that does not answer gets a line "no answer". Without
  --broadcast and HOST it broadcasts to 255.255.255.255.
    --broadcast          ask every node of the local networks
    --broadcast=ADDRESS  ask every node of that network, such as
                         192.168.1.255 (repeatable)
    --node HOST          ask this node (repeatable; a bare HOST is the same)
    --wait S             seconds to wait for answers (default 1); with HOSTs
                         only, it ends as soon as all of them have answered
    --json               print one JSON document: "nodes" holds every
                         node's whole answer with its "address", "reply_ms"
                         and "attention" added
    --watch              ask again every interval and show the table (or a
                         JSON document per line) until Ctrl-C
    --interval S         seconds between the rounds of --watch (default 2)

farm
  Serves the farm page on ADDRESS:PORT (0.0.0.0:8080 for every network of
  this machine, 127.0.0.1:8080 for this machine only) until Ctrl-C: one
  table of every node that answers the status request, those that need an
  admin's eye first (as in status, and "not answering" for a node that fell
  silent), kept current in the browser. GET /nodes.json gives the same as
  JSON. The page has no password: serve it on a network admins trust.
    --serve ADDRESS:PORT  where the page is served
    --refresh S           seconds between rounds of requests (default 2)
    --broadcast, --node, --wait  as in status

wake
  Sends a Wake-on-LAN packet for each hardware address MAC
  (aa:bb:cc:dd:ee:ff, or with '-') to the broadcast ADDRESS
  (255.255.255.255 by default; name the sleeping node's network, such as
  192.168.1.255, where the router does not pass the other), UDP port N (9
  by default). A node's addresses are in its status answer while it is
  awake (drmaster status --json: "mac_addresses"). The machine must allow
  it in its firmware and network card settings; nothing answers a packet,
  so a sent one proves only that it left.
    --broadcast ADDRESS  where the packets go
    --port N             the port the cards listen on (7 or 9)
    --json               print one JSON document instead of the lines

check-config
  Reads FILE as a node reads its drData\DrConfig.txt and prints each 3ds Max
  release it configures; changes nothing. Exit status 15 when a node would
  not take every line of it (the line is named), when it names no release,
  or when it is no readable file. Releases after 2016 count as on a node of
  this machine (its newestMaxRelease), or up to YEAR with --newest-release.

render
  Hands one render job to the node HOST (TCP port 19668): greets it, sends
  the 3ds Max release YEAR that the scene was saved with and the frame N,
  uploads the scene FILE, and saves every image dump the node sends into DIR
  (created when missing) as frame<N>_dump<k>.exr, k counting from 001.
  drmaster refuses to start when DIR already holds dumps of frame N, unless
  --overwrite is given. Each dump is checked for the EXR magic number; one
  that is not an EXR file is kept with a warning.
  The job ends when the node closes the connection. drmaster sends END, which
  asks the renderer to finish, on Ctrl-C, after N dumps or after S seconds of
  rendering (whichever comes first); a second Ctrl-C quits at once.
  On a terminal the scene upload and each dump show their progress.
    --node HOST             host name or address of the node
    --version YEAR          3ds Max release of the scene, 2011 to 2016 (up
                            to 2030 for a node whose admin set
                            newestMaxRelease)
    --frame N               frame number to render
    --scene FILE            the scene file (at most 2,147,483,647 bytes)
    --out DIR               directory for the dumps
    --expect-dumps N        succeed only with exactly N dumps (without it,
                            at least one)
    --end-after-dumps N     send END once N dumps have been saved
    --end-after-seconds S   send END S seconds after the scene was sent
    --wait S                seconds to wait for the node's greeting (default
                            60; 0 waits for ever): a node busy with another
                            job greets only when that job has ended
    --overwrite             replace the dumps of frame N already in DIR
    --json                  print one JSON document (node, scene, every dump
                            with index, path, size and times, outcome and
                            status) instead of the progress lines

exit status
    0    discover, status: every named node answered (or, by broadcast, at
         least one); farm: ended by Ctrl-C; render: the node took the scene and sent every dump
         completely (at least one, or exactly --expect-dumps), then closed
    2    bad command line, such as a YEAR outside 2011 to 2030
    3    a host name cannot be resolved
    4    node unreachable: no TCP connection
    5    no greeting within --wait: the node is busy, or it is not a node;
         or the node closed before taking the job while busy with another
         master's job (its status answer says so)
    6    not a node: the peer answered with something else
    7    version refused: the node closed the connection without taking the
         scene (no 3ds Max from YEAR to 2016, or to its newestMaxRelease,
         is configured there)
    8    transfer cut: the connection broke or stalled during the scene
         upload or a dump; a cut dump is not kept
    9    local file error: FILE cannot be read or is too large, DIR or a
         dump file cannot be written, or DIR holds dumps of frame N
    10   discover, status: no node answered (or a named HOST did not)
    11   no image: the node ended the job without sending a dump (version
         refused, 3ds Max did not answer or failed, or the scene was
         rejected; the node's drData/DrLog.txt says which)
    12   render: not the number of dumps that --expect-dumps asked for
    13   discover, status: the ping or request could not be sent (no route
         to the network, or broadcasts are not allowed)
    14   render: a dump came whole but is not a whole EXR file (cut short
         on the node's disk, or too short to be one: under 8 bytes); it
         was removed
    15   check-config: FILE is not a configuration a node takes whole
    16   status: a node answered with a status that is no readable JSON
    17   farm: ADDRESS:PORT cannot be served (the port is taken, or the
         address is not this machine's)
    130  interrupted before the job started, or a second Ctrl-C

examples
  drmaster discover --broadcast 192.168.1.255 --wait 2
  drmaster status --broadcast --watch
  drmaster farm --serve 0.0.0.0:8080 --broadcast=192.168.1.255
  drmaster render --node render07 --version 2014 --frame 12 --scene shot.max
                  --out frames --end-after-dumps 3
)";

}  // namespace Varnix::Peer
