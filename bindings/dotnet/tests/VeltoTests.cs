// The .NET binding against the real library and velto-caster:
//   mono VeltoTests.exe PATH-OF-velto-caster
// inside a network namespace of its own where the caster name is 127.0.0.1
// and port 2101 is free (scripts/stage-55-bindings.sh). One line per check.
// Some checks run this program again as a host of its own (see Host).
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
        if (args[0] == "--host")
            return Host(args[1]);
        casterProgram = args[0];
        StreamIsExactUnderCollectionAndRestarts();
        using (new Caster(false, "--mount", Mount, "--mount", "SECOND"))
        {
            ClientsOnSeveralThreads();
            CallsFromCallbacksThrowInsteadOfDeadlocking();
            ExitFromACallbackEndsTheProcess();
            VersionTableAndRefusedStart();
        }
        NamedLibraryIsTheOneCalled();
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " check(s) failed");
        return failures == 0 ? 0 : 1;
    }

    static void Check(bool passed, string what)
    {
        Console.WriteLine((passed ? "ok   " : "FAIL ") + what);
        failures += passed ? 0 : 1;
    }

    static bool WaitUntil(Func<bool> condition, double seconds)
    {
        Stopwatch clock = Stopwatch.StartNew();
        while (!condition())
        {
            if (clock.Elapsed.TotalSeconds > seconds)
                return false;
            Thread.Sleep(10);
        }
        return true;
    }

    /// <summary>velto-caster on 127.0.0.1:2101, flooding; with a record,
    /// it writes every stream byte it sends to a file.</summary>
    sealed class Caster : IDisposable
    {
        readonly Process process;
        readonly string record;

        internal Caster(bool recording, params string[] options)
        {
            record = recording ? Path.GetTempFileName() : null;
            var listening = new ManualResetEvent(false);
            string arguments = "--rate 0 --lifetime 120 " + string.Join(" ", options) + (recording ? " --record " + record : "");
            process = Process.Start(new ProcessStartInfo(casterProgram, arguments) { UseShellExecute = false, RedirectStandardError = true });
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
                process.Kill();
            process.WaitForExit();
        }

        public void Dispose()
        {
            End();
            if (record != null)
                File.Delete(record);
        }
    }

    /// <summary>A host's callbacks: every block and status, and the blocks
    /// that arrive after Stop has returned.</summary>
    sealed class Recorder
    {
        internal readonly List<byte[]> Blocks = new List<byte[]>();
        readonly List<Status> statuses = new List<Status>();
        internal volatile bool Stopped;
        internal int LateBlocks;

        internal void OnData(byte[] block)
        {
            lock (this)
            {
                LateBlocks += Stopped ? 1 : 0;
                Blocks.Add(block);
            }
        }

        internal void OnStatus(Status status) { lock (this) statuses.Add(status); }
        internal int Count { get { lock (this) return Blocks.Count; } }
        internal string Statuses { get { lock (this) return string.Join(",", statuses.Take(10)); } }
    }

    // A host that streams for a long time while its runtime collects garbage
    // all the time, then restarts the same client: a delegate or a mount
    // point that the binding let go of would crash the process or corrupt
    // the request.
    static void StreamIsExactUnderCollectionAndRestarts()
    {
        int collections = 0;
        bool collecting = true;
        var collector = new Thread(() => {
            for (; Volatile.Read(ref collecting); collections++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        });
        collector.Start();
        using (var client = new Client())
        {
            foreach (int wanted in new[] { 10000, 2000 })
            {
                var recorder = new Recorder();
                byte[] sent;
                using (var caster = new Caster(true, "--mount", LongMount))
                {
                    client.Start(LongMount, wanted, recorder.OnData, recorder.OnStatus);
                    Check(WaitUntil(() => recorder.Count >= wanted, 60), wanted + " blocks arrive");
                    client.Stop();
                    recorder.Stopped = true;
                    Check(client.WaitFor(Status.Idle, Ten), "the client is idle after Stop");
                    sent = caster.Sent();
                }
                Check(recorder.LateBlocks == 0, "no block after Stop returned");
                Check(recorder.Statuses == "Streaming,Idle", "statuses Streaming, Idle: " + recorder.Statuses);
                byte[] received = recorder.Blocks.SelectMany(block => block).ToArray();
                Check(received.Length > 0 && received.SequenceEqual(sent.Take(received.Length)),
                      "the " + received.Length + " bytes received are the bytes sent, in order");
                Check(recorder.Blocks.All(block => block.Length >= 1 && block.Length <= 2048), "blocks of 1 to 2048 bytes");
            }
        }
        Volatile.Write(ref collecting, false);
        collector.Join();
        Check(collections > 20, "the collector ran again and again: " + collections + " times");
    }

    // A service with one client per station, each on its own thread, and a
    // table query beside them.
    static void ClientsOnSeveralThreads()
    {
        var outcomes = new string[6];
        List<string> table = null;
        var threads = Enumerable.Range(0, outcomes.Length)
            .Select(index => new Thread(() => outcomes[index] = StreamOnce(index + 1))).ToList();
        threads.Add(new Thread(() => table = Library.SourceTable()));
        threads.ForEach(thread => thread.Start());
        threads.ForEach(thread => thread.Join());
        Check(outcomes.All(outcome => outcome == "ok"), "six clients on six threads: " + string.Join(" ", outcomes));
        Check(table != null && table.Count == 2, "a table query beside them");
    }

    static string StreamOnce(int number)
    {
        var recorder = new Recorder();
        using (var client = new Client())
        {
            client.Start(Mount, number, recorder.OnData, recorder.OnStatus);
            if (!WaitUntil(() => recorder.Count >= 500, 30))
                return "too few blocks";
            client.Stop();
            if (!client.WaitFor(Status.Idle, Ten))
                return "not idle";
        }
        return recorder.Blocks[0][0] == 0xD3 ? "ok" : "no RTCM frame first";
    }

    /// <summary>A trace listener that fails, as one whose file is gone.</summary>
    sealed class ThrowingListener : TraceListener
    {
        internal static int Calls;
        public override void Write(string message) { WriteLine(message); }
        public override void WriteLine(string message) { Calls++; throw new IOException("the listener failed"); }
    }

    // Hosts that stop or restart a client from inside its own callbacks, and
    // a host callback that fails while a trace listener fails too.
    static void CallsFromCallbacksThrowInsteadOfDeadlocking()
    {
        Trace.Listeners.Add(new ThrowingListener());
        using (var client = new Client())
        {
            var refused = new List<string>();
            var calls = new Dictionary<string, Action> {
                { "Stop", client.Stop }, { "Start", () => client.Start(Mount, 1, null, null) }, { "Dispose", client.Dispose } };
            client.Start(Mount, 1, block => {
                if (refused.Count > 0)
                    return;
                foreach (KeyValuePair<string, Action> call in calls)
                {
                    try { call.Value(); }
                    catch (ReentrancyException) { refused.Add(call.Key); }
                }
                throw new FormatException("fault in the host's data callback");
            }, null);
            // The callback's exception is kept before it is traced: once the
            // listener has been called, the next call must throw it.
            Check(WaitUntil(() => refused.Count > 0 && ThrowingListener.Calls > 0, 10),
                  "calls from the data callback return");
            Check(string.Join(",", refused) == "Stop,Start,Dispose", "Stop, Start, Dispose there throw ReentrancyException");
            Exception kept = null;
            try { client.WaitFor(Status.Streaming, Ten); }
            catch (CallbackException error) { kept = error.InnerException; }
            Check(kept is FormatException && client.WaitFor(Status.Streaming, Ten),
                  "the data callback's exception is thrown by the next call, once, though the trace listener threw");
            Trace.Listeners.Clear();

            var statuses = new List<string>();
            client.Start(Mount, 1, null, status => {
                statuses.Add(status.ToString());
                if (status != Status.Streaming)
                    return;
                client.Stop();
                try { client.Start(Mount, 1, null, null); }
                catch (ReentrancyException) { statuses.Add("Start refused"); }
            });
            Check(client.WaitFor(Status.Streaming, Ten) && client.WaitFor(Status.Idle, Ten), "Stop from the status callback");
            Check(string.Join(",", statuses) == "Streaming,Start refused,Idle", "statuses " + string.Join(",", statuses));
        }
    }

    // Environment.Exit inside a callback runs the process-exit clean-up on
    // the client thread itself, which must not wait for itself.
    static void ExitFromACallbackEndsTheProcess()
    {
        foreach (string where in new[] { "data", "status" })
        {
            Process host = StartHost("exit-in-" + where, typeof(VeltoTests).Assembly.Location, null);
            host.StandardOutput.ReadLine(); // "exiting"
            Stopwatch clock = Stopwatch.StartNew();
            bool ended = host.WaitForExit(10000);
            if (!ended)
                host.Kill();
            host.WaitForExit();
            Check(ended && clock.Elapsed.TotalSeconds < 3 && host.ExitCode == 37, "Environment.Exit(37) in the " +
                  where + " callback ends the process within 3 s: " + (ended ? clock.Elapsed.TotalSeconds + " s" : "hangs"));
        }
    }

    // With a copy of the library beside the host's assembly, the file that
    // VELTO_LIBRARY names is the one used.
    static void NamedLibraryIsTheOneCalled()
    {
        string named = MappedLibraries().Single();
        string directory = Directory.CreateDirectory(Path.Combine(Path.GetTempPath(), "velto-" + Guid.NewGuid())).FullName;
        File.Copy(typeof(VeltoTests).Assembly.Location, Path.Combine(directory, "VeltoTests.exe"));
        File.Copy(named, Path.Combine(directory, Path.GetFileName(named)));
        string mapped = StartHost("maps", Path.Combine(directory, "VeltoTests.exe"), named).StandardOutput.ReadToEnd().Trim();
        Directory.Delete(directory, true);
        Check(mapped == named, "VELTO_LIBRARY=" + named + " is the only library mapped: " + mapped.Replace("\n", " "));
    }

    static string[] MappedLibraries()
    {
        return File.ReadAllLines("/proc/self/maps").Where(line => line.Contains("libVeltoClient"))
            .Select(line => line.Substring(line.IndexOf('/'))).Distinct().ToArray();
    }

    static Process StartHost(string role, string program, string library)
    {
        var start = new ProcessStartInfo("mono", "\"" + program + "\" --host " + role) { UseShellExecute = false, RedirectStandardOutput = true };
        if (library != null)
            start.EnvironmentVariables["VELTO_LIBRARY"] = library;
        return Process.Start(start);
    }

    // This program as a host of its own: it names the library files it has
    // mapped, or exits with 37 from inside a callback.
    static int Host(string role)
    {
        Action exit = () => { Console.WriteLine("exiting"); Environment.Exit(37); };
        if (role == "maps")
        {
            Library.Version();
            Console.WriteLine(string.Join("\n", MappedLibraries()));
        }
        else if (role == "exit-in-data")
            new Client().Start(Mount, 1, block => exit(), null);
        else
            new Client().Start(Mount, 1, null, status => { if (status == Status.Streaming) exit(); });
        Thread.Sleep(role == "maps" ? 0 : 30000);
        return 0;
    }

    static void VersionTableAndRefusedStart()
    {
        Check(Library.Version() == new DateTime(2018, 6, 19), "version 2018-06-19");
        Check(string.Join(",", Library.SourceTable()) == Mount + ",SECOND", "source table");
        // Too long for the library's request buffer: refused on the calling
        // thread before Start returns, and nothing retries.
        var calls = new List<string>();
        using (var client = new Client())
        {
            client.Start(new string('M', 2000), 0, null, status => calls.Add(status + " on " + Thread.CurrentThread.ManagedThreadId));
            Check(string.Join(",", calls) == "Unresolved on " + Thread.CurrentThread.ManagedThreadId,
                  "a mount point too long: Unresolved on the calling thread: " + string.Join(",", calls));
            Stopwatch clock = Stopwatch.StartNew();
            Check(client.Status == Status.Unresolved && !client.WaitFor(Status.Streaming, Ten) && clock.Elapsed.TotalSeconds < 1,
                  "Status is Unresolved, and waiting for Streaming returns false at once");
        }
    }
}
