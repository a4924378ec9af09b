
// The command line under node (`node hostswitch.js ARGS`): the build chosen above, which reads
// the same arguments; HOSTSWITCH_KERNEL=scalar forces the scalar build.
require(`./hostswitch-${chosenModule(process.env.HOSTSWITCH_KERNEL)}.js`);
