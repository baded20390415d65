#!/bin/sh
# One task of an array job on a cluster: task N (counted from 1) handles
# line N of images.txt (one image of any format lintrace reads a line; made
# e.g. by `find photos -type f -iname '*.jpg' > images.txt`; a name may hold
# spaces, not a new line). Any batch scheduler's task number will do, e.g.
#   SLURM:  sbatch --array=1-1000 array-task.sh   (SLURM_ARRAY_TASK_ID)
#   PBS:    qsub -J 1-1000 array-task.sh           (PBS_ARRAY_INDEX)
#   SGE:    qsub -t 1-1000 array-task.sh           (SGE_TASK_ID)
task=${TASK:-${SLURM_ARRAY_TASK_ID:-${PBS_ARRAY_INDEX:-${SGE_TASK_ID:?no task number}}}}
image=$(sed -n "${task}p" images.txt)
[ -n "$image" ] || { echo "array-task.sh: images.txt has no line $task" >&2; exit 1; }
lintrace -i "$image" -o "${image%.*}.list" -s 1.0
