/**
 * The task board: loads tasks and shows the overdue ones first.
 */
import { useEffect, useState } from "react";
import { TaskList } from "@/components";
import { api } from "@/api/client";
import { Task, isOverdue } from "@models";

const REFRESH_MS = 30_000;

/** Sorts overdue tasks to the top, then by due date. */
export function sortTasks(tasks: Task[], now: Date): Task[] {
  return [...tasks].sort((a, b) => Number(isOverdue(b, now)) - Number(isOverdue(a, now)) || a.due.getTime() - b.due.getTime());
}

export default function App(): JSX.Element {
  const [tasks, setTasks] = useState<Task[]>([]);
  useEffect(() => {
    const load = () => api.fetchTasks().then((loaded) => setTasks(sortTasks(loaded, new Date())));
    load();
    const timer = setInterval(load, REFRESH_MS);
    return () => clearInterval(timer);
  }, []);
  return <TaskList tasks={tasks} onComplete={(id) => api.complete(id)} />;
}
