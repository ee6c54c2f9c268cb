// A complete .NET host: prints the library's version and the caster's mount
// points, streams one mount point for a while and shuts down in order.
//   VeltoExample.exe [MOUNT [SECONDS]]
using System;
using System.Threading;
using Velto;

static class VeltoExample
{
    static int Main(string[] args)
    {
        string mountPoint = args.Length > 0 ? args[0] : "RTCM3_DEMO";
        int seconds = args.Length > 1 ? int.Parse(args[1]) : 10;
        Console.WriteLine("library of " + Library.Version().ToString("yyyy-MM-dd"));
        foreach (string name in Library.SourceTable())
            Console.WriteLine("mount point " + name);

        long bytes = 0;
        using (var client = new Client())
        {
            client.Start(mountPoint, 1, block => Interlocked.Add(ref bytes, block.Length),
                         status => Console.WriteLine("status " + status));
            Thread.Sleep(TimeSpan.FromSeconds(seconds));
            client.Stop();
            client.WaitFor(Status.Idle, TimeSpan.FromSeconds(5));
        }
        Console.WriteLine("received " + Interlocked.Read(ref bytes) + " bytes");
        return bytes > 0 ? 0 : 1;
    }
}
