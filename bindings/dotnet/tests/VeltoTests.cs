// The .NET binding against the real library and velto-caster.
//   mono VeltoTests.exe PATH-OF-velto-caster
// Needs the library on the library search path or in VELTO_LIBRARY, inside a
// network namespace of its own where the caster name resolves to 127.0.0.1
// and port 2101 is free (scripts/stage-55-bindings.sh). Prints one line per
// check and exits 1 when any failed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using Velto;

static class VeltoTests
{
    const string Mount = "RTCM3_DEMO";
    // Longer than an allocator keeps intact in a freed block, so that a mount
    // point freed too early corrupts the request at once.
    const string LongMount = "VELTO_BINDING_STREAM_WITH_A_MOUNT_POINT_OF_SIXTY_FOUR_CHARACTERS";
    static readonly TimeSpan Ten = TimeSpan.FromSeconds(10);
    static string casterProgram;
    static int failures;

    static int Main(string[] args)
    {
        casterProgram = args[0];
        StreamIsExactUnderCollectionAndRestarts();
        ClientsOnSeveralThreads();
        CallsFromCallbacksThrowInsteadOfDeadlocking();
        VersionTableAndRefusedStart();
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " check(s) failed");
        return failures == 0 ? 0 : 1;
    }

    static void Check(bool passed, string what)
    {
        Console.WriteLine((passed ? "ok   " : "FAIL ") + what);
        if (!passed)
            failures++;
    }

    static bool WaitUntil(Func<bool> condition, TimeSpan limit)
    {
        Stopwatch clock = Stopwatch.StartNew();
        while (!condition())
        {
            if (clock.Elapsed > limit)
                return false;
            Thread.Sleep(10);
        }
        return true;
    }

    /// <summary>velto-caster on 127.0.0.1:2101, flooding, with every stream
    /// byte it sends recorded.</summary>
    sealed class Caster : IDisposable
    {
        readonly Process process;
        readonly string record = Path.GetTempFileName();
        readonly ManualResetEvent listening = new ManualResetEvent(false);

        internal Caster(params string[] options)
        {
            var start = new ProcessStartInfo(casterProgram,
                "--rate 0 --lifetime 120 --log --record " + record + " " + string.Join(" ", options))
            { UseShellExecute = false, RedirectStandardError = true };
            process = Process.Start(start);
            process.ErrorDataReceived += (sender, line) => {
                if (line.Data != null && line.Data.Contains("listening"))
                    listening.Set();
            };
            process.BeginErrorReadLine();
            if (!listening.WaitOne(Ten))
                throw new Exception("velto-caster did not start");
        }

        /// <summary>Everything sent, once the caster has ended.</summary>
        internal byte[] Sent()
        {
            End();
            return File.ReadAllBytes(record);
        }

        void End()
        {
            if (!process.HasExited)
            {
                process.Kill();
                process.WaitForExit();
            }
        }

        public void Dispose()
        {
            End();
            File.Delete(record);
        }
    }

    /// <summary>A host's callbacks: keeps every block and status, and counts
    /// blocks that arrive after Stop has returned.</summary>
    sealed class Recorder
    {
        internal readonly List<byte[]> Blocks = new List<byte[]>();
        internal readonly List<Status> Statuses = new List<Status>();
        internal volatile bool Stopped;
        internal int LateBlocks;

        internal void OnData(byte[] block)
        {
            lock (Blocks)
            {
                if (Stopped)
                    LateBlocks++;
                Blocks.Add(block);
            }
        }

        internal void OnStatus(Status status)
        {
            lock (Statuses)
                Statuses.Add(status);
        }

        internal int Count
        {
            get { lock (Blocks) return Blocks.Count; }
        }

        internal string StatusText
        {
            get
            {
                string text;
                lock (Statuses)
                    text = string.Join(",", Statuses);
                return text.Length <= 200 ? text : text.Substring(0, 200) + "...";
            }
        }
    }

    static void CheckSentPrefix(List<byte[]> blocks, byte[] sent, string what)
    {
        byte[] received = blocks.SelectMany(block => block).ToArray();
        bool prefix = received.Length > 0 && received.Length <= sent.Length;
        for (int i = 0; prefix && i < received.Length; i++)
            prefix = received[i] == sent[i];
        Check(prefix, what + ": the " + received.Length + " bytes received are the caster's bytes, in order");
        Check(blocks.All(block => block.Length >= 1 && block.Length <= 2048), what + ": every block holds 1 to 2048 bytes");
    }

    // A host that streams for a long time while its runtime collects garbage
    // all the time, then stops and restarts the same client: a delegate or a
    // mount point that the binding let go of would crash the process or
    // corrupt the request.
    static void StreamIsExactUnderCollectionAndRestarts()
    {
        int collections = 0;
        bool collecting = true;
        var collector = new Thread(() => {
            while (Volatile.Read(ref collecting))
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                collections++;
            }
        });
        collector.Start();
        try
        {
            using (var client = new Client())
            {
                var first = new Recorder();
                byte[] sent;
                using (var caster = new Caster("--mount", LongMount))
                {
                    client.Start(LongMount, 7, first.OnData, first.OnStatus);
                    Check(WaitUntil(() => first.Count >= 10000, TimeSpan.FromSeconds(60)), "10,000 blocks arrive");
                    client.Stop();
                    first.Stopped = true;
                    Check(client.WaitFor(Status.Idle, Ten), "the client is idle after Stop");
                    sent = caster.Sent();
                }
                Check(first.LateBlocks == 0, "no block after Stop returned");
                Check(first.StatusText == "Streaming,Idle", "statuses Streaming, Idle (" + first.StatusText + ")");
                CheckSentPrefix(first.Blocks, sent, "first run");
                Check(collections > 20, "the collector ran again and again (" + collections + " times)");

                var second = new Recorder();
                using (var caster = new Caster("--mount", LongMount))
                {
                    client.Start(LongMount, 8, second.OnData, second.OnStatus);
                    Check(WaitUntil(() => second.Count >= 2000, TimeSpan.FromSeconds(30)), "restart: 2,000 blocks arrive");
                    client.Stop();
                    Check(client.WaitFor(Status.Idle, Ten), "restart: the client is idle after Stop");
                    sent = caster.Sent();
                }
                Check(second.StatusText == "Streaming,Idle", "restart: statuses Streaming, Idle (" + second.StatusText + ")");
                CheckSentPrefix(second.Blocks, sent, "restart");
            }
        }
        finally
        {
            Volatile.Write(ref collecting, false);
            collector.Join();
        }
    }

    // A service with one client per station, each on its own thread, and a
    // table query beside them.
    static void ClientsOnSeveralThreads()
    {
        var outcomes = new string[6];
        List<string> table = null;
        using (new Caster())
        {
            var threads = new List<Thread>();
            for (int number = 0; number < outcomes.Length; number++)
            {
                int index = number;
                threads.Add(new Thread(() => outcomes[index] = StreamOnce(index + 1)));
            }
            threads.Add(new Thread(() => table = Library.SourceTable()));
            threads.ForEach(thread => thread.Start());
            threads.ForEach(thread => thread.Join());
        }
        Check(outcomes.All(outcome => outcome == "ok"), "six clients on six threads stream: " + string.Join(" ", outcomes));
        Check(table != null && string.Join(",", table) == Mount, "the table query beside them lists " + Mount);
    }

    static string StreamOnce(int number)
    {
        try
        {
            var recorder = new Recorder();
            using (var client = new Client())
            {
                client.Start(Mount, number, recorder.OnData, recorder.OnStatus);
                if (!WaitUntil(() => recorder.Count >= 500, TimeSpan.FromSeconds(30)))
                    return "too few blocks";
                client.Stop();
                if (!client.WaitFor(Status.Idle, Ten))
                    return "not idle";
            }
            return recorder.Blocks[0][0] == 0xD3 ? "ok" : "no RTCM frame first";
        }
        catch (Exception error)
        {
            return error.GetType().Name;
        }
    }

    // Hosts that stop or restart a client from inside its own callbacks, and
    // a host callback that fails.
    static void CallsFromCallbacksThrowInsteadOfDeadlocking()
    {
        using (new Caster())
        using (var client = new Client())
        {
            var refused = new List<string>();
            Action<byte[]> onData = block => {
                if (refused.Count > 0)
                    return;
                var calls = new Dictionary<string, Action> {
                    { "Stop", client.Stop }, { "Start", () => client.Start(Mount, 1, null, null) }, { "Dispose", client.Dispose } };
                foreach (KeyValuePair<string, Action> call in calls)
                {
                    try { call.Value(); }
                    catch (ReentrancyException) { refused.Add(call.Key); }
                }
                throw new FormatException("fault in the host's data callback");
            };
            client.Start(Mount, 1, onData, null);
            Check(WaitUntil(() => refused.Count > 0, Ten), "calls from the data callback return");
            Check(string.Join(",", refused) == "Stop,Start,Dispose", "Stop, Start and Dispose from the data callback throw ReentrancyException");
            Exception kept = null;
            try { client.WaitFor(Status.Streaming, Ten); }
            catch (CallbackException error) { kept = error.InnerException; }
            Check(kept is FormatException, "the data callback's exception is thrown by the next call");
            Check(client.WaitFor(Status.Streaming, Ten), "and only once");

            var statuses = new List<string>();
            Action<Status> onStatus = status => {
                statuses.Add(status.ToString());
                if (status != Status.Streaming)
                    return;
                client.Stop();
                try { client.Start(Mount, 1, null, null); }
                catch (ReentrancyException) { statuses.Add("Start refused"); }
            };
            client.Start(Mount, 1, null, onStatus);
            Check(client.WaitFor(Status.Streaming, Ten) && client.WaitFor(Status.Idle, Ten),
                  "Stop from the status callback stops the client");
            Check(string.Join(",", statuses) == "Streaming,Start refused,Idle", "statuses " + string.Join(",", statuses));
        }
    }

    static void VersionTableAndRefusedStart()
    {
        Check(Library.Version() == new DateTime(2018, 6, 19), "version 2018-06-19");
        using (new Caster("--mount", Mount, "--mount", "SECOND"))
        {
            List<string> table = Library.SourceTable();
            Check(string.Join(",", table) == Mount + ",SECOND", "source table " + string.Join(",", table));
            // Too long for the library's request buffer: refused on the
            // calling thread before Start returns, and nothing retries.
            var calls = new List<string>();
            using (var client = new Client())
            {
                client.Start(new string('M', 2000), 0, null,
                             status => calls.Add(status + " on thread " + Thread.CurrentThread.ManagedThreadId));
                Check(string.Join(",", calls) == "Unresolved on thread " + Thread.CurrentThread.ManagedThreadId,
                      "a mount point that is too long: Unresolved on the calling thread (" + string.Join(",", calls) + ")");
                Check(client.Status == Status.Unresolved, "Status is Unresolved");
                Stopwatch clock = Stopwatch.StartNew();
                Check(!client.WaitFor(Status.Streaming, Ten) && clock.Elapsed < TimeSpan.FromSeconds(1),
                      "waiting for Streaming after a refusal returns false at once");
            }
        }
    }
}
