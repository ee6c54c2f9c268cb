// Velto.cs - .NET host of the VeltoClient NTRIP client library.
//
// One file: add it to any project (C# 7.2; .NET Framework 4.x, Mono, .NET 6+).
//
//   using (var client = new Velto.Client()) {
//       client.Start("RTCM3_DEMO", 7, bytes => Consume(bytes), status => Show(status));
//       ...
//       client.Stop();
//   }
//
// The native library is VeltoClient.dll on Windows, a 32-bit DLL, so a
// Windows host must run as x86 (Platform target x86, or "Prefer 32-bit").
// On Linux it is libVeltoClient64.so (libVeltoClient32.so in a 32-bit
// process): the file named by the environment variable VELTO_LIBRARY and no
// other, else the one beside the host's assembly, else the one on the
// library search path (LD_LIBRARY_PATH, then the linker cache).
//
// On Windows a callback that has not returned 8 s after Dispose (or a
// restarting Start) asked its client to end is terminated by the library,
// with whatever locks it holds: a callback should hand the bytes over and
// return.
//
// What the library keeps a pointer to, and who owns it. For every Start the
// library keeps three things until that start's client thread has ended: the
// data and status delegates (as native function pointers) and the mount
// point (as a char pointer). All three belong to one Run object: the
// delegates are its fields, and the mount point is a copy in unmanaged memory
// (Marshal.StringToHGlobalAnsi) that only the Run frees. A Run stays
// referenced by its client, and by a GCHandle of its own, from its Start
// until the library is done with it: until the next Start on the client or
// its destruction has returned, for both wait for the client thread to end.
// Only then is the mount point freed and the GCHandle released. The GCHandle
// is what keeps the delegates alive when a host forgets Dispose: the client
// and its SafeHandle then become garbage together with the Run, and without
// it the delegates could be collected before the handle's finalizer has
// stopped the client. That finalizer never waits: it stops and destroys the
// client on a background thread of its own, which releases the Run after
// VeltoDestruct has returned. Clients still open when the process exits are
// destroyed from AppDomain.ProcessExit, except one whose callback is running
// on the thread that exits (Environment.Exit inside a callback): that thread
// cannot wait for itself, so that client is left to the process's end. A
// forgotten client whose callbacks
// refer to the client itself stays reachable through its Run and runs on
// until the process exits: Dispose every client.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

namespace Velto
{
    /// <summary>The library's status codes.</summary>
    public enum Status
    {
        Idle = 0,
        Streaming = 1,
        ConnectFailed = -2,
        NoAnswer = -3,
        StreamLost = -4,
        NotFound = -5,
        Unauthorised = -6,
        NotImplemented = -7,
        Unresolved = -8,
    }

    /// <summary>
    /// A call from inside a callback that would deadlock: Stop, Start, Dispose
    /// or WaitFor from the data callback, or Start, Dispose or WaitFor from the
    /// status callback of the same client. The library runs the data callback
    /// with the client's lock held, which Stop takes, and Start and Dispose
    /// wait for the very thread that makes the callbacks.
    /// </summary>
    public class ReentrancyException : InvalidOperationException
    {
        public ReentrancyException(string message) : base(message) { }
    }

    /// <summary>
    /// An exception thrown by one of the host's callbacks (InnerException).
    /// It cannot travel through the library's thread, so it is written to
    /// Trace, kept, and thrown by the next Start, Stop or WaitFor on the client.
    /// </summary>
    public class CallbackException : Exception
    {
        public CallbackException(string message, Exception inner) : base(message, inner) { }
    }

    /// <summary>Calls that need no client.</summary>
    public static class Library
    {
        /// <summary>The library's release date.</summary>
        public static DateTime Version()
        {
            Native.VersionInfo version = Native.Functions.Version();
            return new DateTime(version.Year, version.Month, version.Day);
        }

        /// <summary>
        /// The caster's mount points in its order; empty when it cannot be
        /// reached. Blocks for up to about 8 s for the connect and 8 s for
        /// each receive that waits.
        /// </summary>
        public static List<string> SourceTable()
        {
            var names = new List<string>();
            Native.SourceCallback collect = name => names.Add(Marshal.PtrToStringAnsi(name));
            Native.Functions.SourceTable(collect);
            GC.KeepAlive(collect);
            return names;
        }
    }

    /// <summary>
    /// One stream client. Dispose stops it, waits for its thread to end and
    /// destroys it. Calls on one client may come from any thread.
    /// </summary>
    public sealed class Client : IDisposable
    {
        readonly object calls = new object(); // calls on one handle must not overlap
        readonly Shared shared = new Shared();
        readonly ClientHandle handle;

        public Client()
        {
            handle = Native.Functions.Construct();
            handle.Shared = shared;
            ClientHandle.Track(handle);
        }

        /// <summary>The status as the library last reported it (Idle after a
        /// Start until the client thread reports).</summary>
        public Status Status
        {
            get { lock (shared.Gate) return shared.Status; }
        }

        /// <summary>
        /// Starts or restarts the client (a running one is first stopped and
        /// waited for). onData gets a copy of every block, onStatus every
        /// change; both run on the library's thread and either may be null.
        /// A refused start (mount point too long, caster name not resolved)
        /// reports Status.Unresolved on this thread before Start returns.
        /// </summary>
        public void Start(string mountPoint, int clientNumber, Action<byte[]> onData, Action<Status> onStatus)
        {
            if (mountPoint == null)
                throw new ArgumentNullException("mountPoint");
            RefuseInside("Start", true);
            shared.ThrowKept();
            lock (calls)
            {
                CheckOpen();
                var run = new Run(shared, mountPoint, onData, onStatus);
                Run previous;
                lock (shared.Gate)
                {
                    previous = shared.Current;
                    shared.Current = run;
                    shared.Status = shared.Reported = Status.Idle;
                }
                run.Starter = Thread.CurrentThread.ManagedThreadId;
                Native.Functions.Start(handle, IntPtr.Zero, run.MountPoint, clientNumber, run.DataThunk, run.StatusThunk);
                run.Starter = 0;
                // VeltoStart has waited for the previous run's thread.
                if (previous != null)
                    previous.Release();
            }
        }

        /// <summary>
        /// Asks the client to stop and returns at once; no data callback runs
        /// after it returns, and the status goes to Idle within about 2 s.
        /// Allowed from inside the status callback, not from the data callback.
        /// </summary>
        public void Stop()
        {
            RefuseInside("Stop", false);
            if (shared.Inside.Value == Shared.InStatus)
            {
                // The host thread may be in Start or Dispose right now, holding
                // the call lock and waiting for this very thread; the handle
                // lives until that wait is over, so no lock is needed.
                Native.Functions.Stop(handle.DangerousGetHandle());
                return;
            }
            lock (calls)
            {
                CheckOpen();
                Native.Functions.Stop(handle.DangerousGetHandle());
            }
            shared.ThrowKept();
        }

        /// <summary>
        /// True once the status is <paramref name="status"/> or has passed
        /// through it since the call, and onStatus has returned for it; false
        /// when the timeout passes first, or when the run can report nothing
        /// more (stopped and Idle, or refused). Timeout.InfiniteTimeSpan waits
        /// without limit.
        /// </summary>
        public bool WaitFor(Status status, TimeSpan timeout)
        {
            RefuseInside("WaitFor", true);
            shared.ThrowKept();
            bool reached = shared.WaitFor(status, timeout);
            shared.ThrowKept();
            return reached;
        }

        /// <summary>Stops the client, waits for its thread to end and destroys
        /// it. Never throws for a kept callback exception.</summary>
        public void Dispose()
        {
            RefuseInside("Dispose", true);
            lock (calls)
            {
                handle.DestroyOnThisThread = true;
                handle.Dispose();
            }
        }

        void CheckOpen()
        {
            if (handle.IsClosed)
                throw new ObjectDisposedException("Velto.Client");
        }

        void RefuseInside(string method, bool alsoInStatus)
        {
            int inside = shared.Inside.Value;
            if (inside == Shared.InData || (alsoInStatus && inside == Shared.InStatus))
                throw new ReentrancyException(method + " called from inside the " +
                    (inside == Shared.InData ? "data" : "status") + " callback of the same client");
        }
    }

    /// <summary>What a client's callbacks and its host threads share; Gate
    /// guards it. Callbacks take only Gate, and no host call holds Gate
    /// while it calls into the library.</summary>
    sealed class Shared
    {
        internal const int InData = 1, InStatus = 2;
        internal readonly object Gate = new object();
        internal readonly ThreadLocal<int> Inside = new ThreadLocal<int>(); // which callback of this client runs here
        internal Run Current;
        internal Status Status = Status.Idle;   // as last reported to the current run
        internal Status Reported = Status.Idle; // the same, once onStatus has returned
        Exception kept;

        internal void CallHost<T>(int kind, Action<T> action, T argument)
        {
            if (action == null)
                return;
            int outer = Inside.Value;
            Inside.Value = kind;
            try
            {
                action(argument);
            }
            catch (Exception error) // nothing may unwind into the library
            {
                // Kept before it is traced: a host that reacts to the trace
                // and calls the client at once must get the exception.
                lock (Gate)
                {
                    if (kept == null)
                        kept = error;
                }
                try
                {
                    Trace.TraceError("exception in the {0} callback of a Velto client: {1}",
                        kind == InData ? "data" : "status", error);
                }
                catch (Exception) // a failing trace listener must not unwind into the library either
                {
                }
            }
            finally
            {
                Inside.Value = outer;
            }
        }

        internal void ThrowKept()
        {
            Exception error;
            lock (Gate)
            {
                error = kept;
                kept = null;
            }
            if (error != null)
                throw new CallbackException("a callback of this client threw: " + error.Message, error);
        }

        internal bool WaitFor(Status wanted, TimeSpan timeout)
        {
            bool forever = timeout == Timeout.InfiniteTimeSpan;
            Stopwatch clock = Stopwatch.StartNew();
            lock (Gate)
            {
                Run run = Current;
                if (Reported == wanted)
                    return true;
                if (run == null)
                    return false;
                var waiter = new Waiter { Wanted = wanted };
                run.Waiters.Add(waiter);
                try
                {
                    while (!waiter.Reached && !run.Ended)
                    {
                        TimeSpan left = forever ? Timeout.InfiniteTimeSpan : timeout - clock.Elapsed;
                        if (!forever && left <= TimeSpan.Zero)
                            break;
                        Monitor.Wait(Gate, left);
                    }
                }
                finally
                {
                    run.Waiters.Remove(waiter);
                }
                return waiter.Reached;
            }
        }

        // Called once the library can no longer use the current run.
        internal void ReleaseCurrent()
        {
            Run run;
            lock (Gate)
            {
                run = Current;
                Current = null;
                if (run != null)
                    run.Ended = true;
                Monitor.PulseAll(Gate);
            }
            if (run != null)
                run.Release();
        }
    }

    sealed class Waiter
    {
        internal Status Wanted;
        internal bool Reached;
    }

    /// <summary>One Start: what the library points to, and where its reports go.</summary>
    sealed class Run
    {
        internal readonly IntPtr MountPoint;
        internal readonly Native.DataCallback DataThunk;
        internal readonly Native.StatusCallback StatusThunk;
        internal readonly List<Waiter> Waiters = new List<Waiter>();
        internal int Starter;  // the thread inside VeltoStart, which gets a refusal
        internal bool Ended;   // no status will be reported any more
        readonly Shared shared;
        readonly Action<byte[]> onData;
        readonly Action<Status> onStatus;
        GCHandle keepAlive;
        int released;

        internal Run(Shared shared, string mountPoint, Action<byte[]> onData, Action<Status> onStatus)
        {
            this.shared = shared;
            this.onData = onData;
            this.onStatus = onStatus;
            // Without a data callback the library discards the bytes itself.
            DataThunk = onData != null ? new Native.DataCallback(Deliver) : null;
            StatusThunk = Report;
            MountPoint = Marshal.StringToHGlobalAnsi(mountPoint);
            keepAlive = GCHandle.Alloc(this);
        }

        internal void Release()
        {
            if (Interlocked.Exchange(ref released, 1) != 0)
                return;
            Marshal.FreeHGlobal(MountPoint);
            keepAlive.Free();
        }

        // On the library's client thread, with the client's lock held; the
        // bytes are valid only during the call.
        void Deliver(IntPtr user, IntPtr bytes, int count)
        {
            var block = new byte[Math.Max(count, 0)];
            if (count > 0)
                Marshal.Copy(bytes, block, 0, count);
            shared.CallHost(Shared.InData, onData, block);
        }

        // On the client thread, or on the starting thread for a refusal.
        void Report(IntPtr user, int value)
        {
            var status = (Status)value;
            lock (shared.Gate)
            {
                if (shared.Current == this)
                    shared.Status = status;
            }
            shared.CallHost(Shared.InStatus, onStatus, status);
            // Waiters wake once the host's callback has seen the status too.
            lock (shared.Gate)
            {
                if (shared.Current == this)
                    shared.Reported = status;
                foreach (Waiter waiter in Waiters)
                    waiter.Reached = waiter.Reached || waiter.Wanted == status;
                if (status == Status.Idle || Thread.CurrentThread.ManagedThreadId == Starter)
                    Ended = true;
                Monitor.PulseAll(shared.Gate);
            }
        }
    }

    /// <summary>Owns one native client; releasing it destroys the client.</summary>
    sealed class ClientHandle : SafeHandle
    {
        static readonly List<WeakReference> open = new List<WeakReference>();
        internal Shared Shared;
        internal volatile bool DestroyOnThisThread;

        ClientHandle() : base(IntPtr.Zero, true) { }

        /// <summary>Takes ownership of a client that VeltoConstruct made.</summary>
        internal static ClientHandle Own(IntPtr native)
        {
            var owner = new ClientHandle();
            owner.SetHandle(native);
            return owner;
        }

        static ClientHandle()
        {
            AppDomain.CurrentDomain.ProcessExit += DestroyOpenClients;
        }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        protected override bool ReleaseHandle()
        {
            IntPtr native = handle;
            Shared shared = Shared;
            if (DestroyOnThisThread)
            {
                Destroy(native, shared);
                return true;
            }
            // The finalizer thread: VeltoDestruct may wait for seconds, so it
            // runs elsewhere, holding the Run until it has returned.
            try
            {
                new Thread(() => Destroy(native, shared)) { IsBackground = true, Name = "Velto destroy" }.Start();
            }
            catch (Exception)
            {
                Native.Functions.Stop(native); // no thread to be had: at least no data follows
            }
            return true;
        }

        static void Destroy(IntPtr native, Shared shared)
        {
            Native.Functions.Stop(native);
            Native.Functions.Destruct(native);
            if (shared != null)
                shared.ReleaseCurrent();
        }

        internal static void Track(ClientHandle handle)
        {
            lock (open)
            {
                open.RemoveAll(reference => !reference.IsAlive);
                open.Add(new WeakReference(handle));
            }
        }

        // No client thread may call into a runtime that is shutting down.
        // The exit may come from inside a callback (Environment.Exit there):
        // that client's thread is this thread, which can neither stop it (the
        // data callback holds the client's lock) nor wait for itself, so the
        // client is left alone and ends with the process, its handle marked
        // so that nothing releases it later.
        static void DestroyOpenClients(object sender, EventArgs e)
        {
            var handles = new List<ClientHandle>();
            lock (open)
            {
                foreach (WeakReference reference in open)
                {
                    var handle = reference.Target as ClientHandle;
                    if (handle != null && !handle.IsClosed)
                        handles.Add(handle);
                }
            }
            foreach (ClientHandle handle in handles)
            {
                if (handle.Shared != null && handle.Shared.Inside.Value != 0)
                {
                    handle.SetHandleAsInvalid();
                    continue;
                }
                handle.DestroyOnThisThread = true;
                handle.Dispose();
            }
        }
    }

    /// <summary>The callback types, the version record and the loading of
    /// the library.</summary>
    static class Native
    {
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void DataCallback(IntPtr user, IntPtr bytes, int count);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void StatusCallback(IntPtr user, int status);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void SourceCallback(IntPtr mountPoint);

        [StructLayout(LayoutKind.Explicit, Size = 4)]
        internal struct VersionInfo
        {
            [FieldOffset(0)] public ushort Year;
            [FieldOffset(2)] public byte Month;
            [FieldOffset(3)] public byte Day;
        }

        static readonly object loading = new object();
        static Functions functions;

        /// <summary>The library's functions, loaded on first use.</summary>
        internal static Functions Functions
        {
            get
            {
                lock (loading)
                {
                    if (functions == null)
                        functions = Path.DirectorySeparatorChar == '\\' ? LoadWindows() : LoadLinux();
                    return functions;
                }
            }
        }

        static Functions LoadWindows()
        {
            // The library never initialises Winsock itself.
            var data = new byte[512]; // WSADATA is 400 bytes on 32-bit Windows
            int error = WSAStartup(0x0202, data);
            if (error != 0)
                throw new InvalidOperationException("WSAStartup failed with error " + error);
            return new WindowsFunctions();
        }

        /// <summary>The library's file name on Linux, for this process's width.</summary>
        internal static string LinuxName
        {
            get { return IntPtr.Size == 4 ? "libVeltoClient32.so" : "libVeltoClient64.so"; }
        }

        // The library is opened by path and its functions are called through
        // the addresses dlsym gives, never through DllImport: Mono's DllImport
        // prefers a copy beside the assembly, so a test build named in
        // VELTO_LIBRARY would silently give way to that copy.
        static Functions LoadLinux()
        {
            string path = Environment.GetEnvironmentVariable("VELTO_LIBRARY");
            if (!string.IsNullOrEmpty(path))
                return new LinuxFunctions(Open(path, "the path in VELTO_LIBRARY"));
            string beside = Path.Combine(Path.GetDirectoryName(typeof(Native).Assembly.Location) ?? ".", LinuxName);
            if (File.Exists(beside))
                return new LinuxFunctions(Open(beside, "beside the host's assembly"));
            return new LinuxFunctions(Open(LinuxName, "on the library search path (LD_LIBRARY_PATH=" +
                Environment.GetEnvironmentVariable("LD_LIBRARY_PATH") + ", then the linker cache); " +
                "VELTO_LIBRARY may name the file instead"));
        }

        static IntPtr Open(string file, string where)
        {
            IntPtr library = dlopen(file, RtldNow);
            if (library == IntPtr.Zero)
                throw new DllNotFoundException("cannot load " + file + " " + where + ": " +
                                               Marshal.PtrToStringAnsi(dlerror()));
            return library;
        }

        /// <summary>A function of the opened library as a delegate of type T.</summary>
        internal static T Function<T>(IntPtr library, string name) where T : class
        {
            dlerror();
            IntPtr address = dlsym(library, name);
            if (address == IntPtr.Zero)
                throw new EntryPointNotFoundException(name + " is not in the library: " +
                                                      Marshal.PtrToStringAnsi(dlerror()));
            return Marshal.GetDelegateForFunctionPointer(address, typeof(T)) as T;
        }

        const int RtldNow = 2;
        [DllImport("libdl.so.2")] static extern IntPtr dlopen(string path, int flags);
        [DllImport("libdl.so.2")] static extern IntPtr dlsym(IntPtr library, string name);
        [DllImport("libdl.so.2")] static extern IntPtr dlerror();
        [DllImport("ws2_32.dll")] static extern int WSAStartup(ushort version, byte[] data);
    }

    /// <summary>
    /// The seven functions, reached in two ways: on Windows through
    /// DllImport of VeltoClient.dll, on Linux through the addresses that
    /// dlsym gives for the opened file. Mono looks a DllImport up when it
    /// compiles the method that calls it, so the Windows declarations are
    /// called only from the overrides of their own class, which are compiled
    /// only when that class was chosen. Everything uses the C calling
    /// convention, on 32-bit Windows too. VeltoStop and VeltoDestruct take
    /// the raw pointer: they run where the SafeHandle is already closed (its
    /// own release, and a status callback during Dispose).
    /// </summary>
    abstract class Functions
    {
        internal abstract ClientHandle Construct();
        internal abstract void Destruct(IntPtr handle);
        internal abstract void Start(ClientHandle handle, IntPtr user, IntPtr mountPoint, int clientNumber,
                                     Native.DataCallback onData, Native.StatusCallback onStatus);
        internal abstract void Stop(IntPtr handle);
        internal abstract int Status(ClientHandle handle);
        internal abstract Native.VersionInfo Version();
        internal abstract int SourceTable(Native.SourceCallback onMountPoint);
    }

    sealed class WindowsFunctions : Functions
    {
        const string Name = "VeltoClient.dll";
        const CallingConvention Cdecl = CallingConvention.Cdecl;
        [DllImport(Name, CallingConvention = Cdecl)] static extern ClientHandle VeltoConstruct();
        [DllImport(Name, CallingConvention = Cdecl)] static extern void VeltoDestruct(IntPtr handle);
        [DllImport(Name, CallingConvention = Cdecl)]
        static extern void VeltoStart(ClientHandle handle, IntPtr user, IntPtr mountPoint, int clientNumber,
                                      Native.DataCallback onData, Native.StatusCallback onStatus);
        [DllImport(Name, CallingConvention = Cdecl)] static extern void VeltoStop(IntPtr handle);
        [DllImport(Name, CallingConvention = Cdecl)] static extern int VeltoStatus(ClientHandle handle);
        [DllImport(Name, CallingConvention = Cdecl)] static extern Native.VersionInfo VeltoVersion();
        [DllImport(Name, CallingConvention = Cdecl)] static extern int VeltoSourceTable(Native.SourceCallback onMountPoint);

        internal override ClientHandle Construct() { return VeltoConstruct(); }
        internal override void Destruct(IntPtr handle) { VeltoDestruct(handle); }
        internal override void Start(ClientHandle handle, IntPtr user, IntPtr mountPoint, int clientNumber,
                                     Native.DataCallback onData, Native.StatusCallback onStatus)
        { VeltoStart(handle, user, mountPoint, clientNumber, onData, onStatus); }
        internal override void Stop(IntPtr handle) { VeltoStop(handle); }
        internal override int Status(ClientHandle handle) { return VeltoStatus(handle); }
        internal override Native.VersionInfo Version() { return VeltoVersion(); }
        internal override int SourceTable(Native.SourceCallback onMountPoint) { return VeltoSourceTable(onMountPoint); }
    }

    sealed class LinuxFunctions : Functions
    {
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] delegate IntPtr ConstructCall();
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] delegate void HandleCall(IntPtr handle);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        delegate void StartCall(IntPtr handle, IntPtr user, IntPtr mountPoint, int clientNumber,
                                Native.DataCallback onData, Native.StatusCallback onStatus);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] delegate int StatusCall(IntPtr handle);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] delegate Native.VersionInfo VersionCall();
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)] delegate int SourceTableCall(Native.SourceCallback onMountPoint);

        readonly ConstructCall construct;
        readonly HandleCall destruct, stop;
        readonly StartCall start;
        readonly StatusCall status;
        readonly VersionCall version;
        readonly SourceTableCall sourceTable;

        internal LinuxFunctions(IntPtr library)
        {
            construct = Native.Function<ConstructCall>(library, "VeltoConstruct");
            destruct = Native.Function<HandleCall>(library, "VeltoDestruct");
            start = Native.Function<StartCall>(library, "VeltoStart");
            stop = Native.Function<HandleCall>(library, "VeltoStop");
            status = Native.Function<StatusCall>(library, "VeltoStatus");
            version = Native.Function<VersionCall>(library, "VeltoVersion");
            sourceTable = Native.Function<SourceTableCall>(library, "VeltoSourceTable");
        }

        internal override ClientHandle Construct() { return ClientHandle.Own(construct()); }
        internal override void Destruct(IntPtr handle) { destruct(handle); }
        internal override void Start(ClientHandle handle, IntPtr user, IntPtr mountPoint, int clientNumber,
                                     Native.DataCallback onData, Native.StatusCallback onStatus)
        {
            bool held = false;
            try
            {
                handle.DangerousAddRef(ref held);
                start(handle.DangerousGetHandle(), user, mountPoint, clientNumber, onData, onStatus);
            }
            finally
            {
                if (held)
                    handle.DangerousRelease();
            }
        }
        internal override void Stop(IntPtr handle) { stop(handle); }
        internal override int Status(ClientHandle handle)
        {
            bool held = false;
            try
            {
                handle.DangerousAddRef(ref held);
                return status(handle.DangerousGetHandle());
            }
            finally
            {
                if (held)
                    handle.DangerousRelease();
            }
        }
        internal override Native.VersionInfo Version() { return version(); }
        internal override int SourceTable(Native.SourceCallback onMountPoint) { return sourceTable(onMountPoint); }
    }
}
